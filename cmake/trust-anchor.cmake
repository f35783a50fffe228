# The root the programs trust: the publisher's signing chain they embed as resource ROOTC 1, the
# publisher identity and the intermediate's serial they expect. A vendor build names its own
# bundle, publisher identity and intermediate serial. A test chain is made with openssl in the
# build folder in every build (tests/fixtures/signing/signing.cmake): the tests sign their
# programs with it (it carries the configured identity and serial, so that the verifier's
# expectations are tested as built), and DAXINST_TEST_CHAIN=ON embeds its root in the program
# instead of a vendor bundle. Its private keys lie in the build folder and the program installs
# the embedded root into the machine's ROOT store, so a build that embeds it is never the
# default: one of the two must be chosen.
set(DAXINST_CERT_BUNDLE "" CACHE FILEPATH
    "DER certificates-only PKCS #7 file (root and intermediate) embedded as resource ROOTC 1")
option(DAXINST_TEST_CHAIN
       "Embed the root of the test chain made in the build folder (for tests, never for release)"
       OFF)
if(DAXINST_CERT_BUNDLE AND DAXINST_TEST_CHAIN)
  message(FATAL_ERROR "DAXINST_CERT_BUNDLE and DAXINST_TEST_CHAIN=ON exclude each other: give the "
                      "publisher's bundle for a release build, or DAXINST_TEST_CHAIN=ON to embed "
                      "the generated test root, not both")
endif()
if(NOT DAXINST_CERT_BUNDLE AND NOT DAXINST_TEST_CHAIN)
  message(FATAL_ERROR "No certificate bundle to embed: give -DDAXINST_CERT_BUNDLE=<bundle.p7b> "
                      "(the publisher's root and intermediate) for a release build, or "
                      "-DDAXINST_TEST_CHAIN=ON to embed the root of a test chain generated in the "
                      "build folder (test builds only: its private key lies beside it)")
endif()
# The identity the test chain is made for by default; a vendor bundle must come with its own.
set(DAXINST_TEST_PUBLISHER
    "CN=Quorvex Test Publisher;OU=Client Security;O=Quorvex Test;L=Springfield;ST=Oregon;C=US")
set(DAXINST_PUBLISHER "${DAXINST_TEST_PUBLISHER}"
    CACHE STRING "Expected publisher identity: CN=...;OU=...;O=...;L=...;ST=...;C=...")
set(DAXINST_STALE_SERIAL "5200E5AA2556FC1A86ED96C9D44B33C7" CACHE STRING
    "Serial of the bundle's intermediate certificate, hexadecimal, most significant byte first")

if(NOT DAXINST_STALE_SERIAL MATCHES "^([0-9A-Fa-f][0-9A-Fa-f])+$")
  message(FATAL_ERROR "DAXINST_STALE_SERIAL must be an even number of hexadecimal digits")
endif()
string(LENGTH "${DAXINST_STALE_SERIAL}" _daxinst_serial_length)
if(_daxinst_serial_length GREATER 64)
  message(FATAL_ERROR "DAXINST_STALE_SERIAL is longer than 32 bytes")
endif()
foreach(_daxinst_attribute CN OU O L ST C)
  if(NOT DAXINST_PUBLISHER MATCHES "(^|;) *${_daxinst_attribute} *=[^;]+")
    message(FATAL_ERROR "DAXINST_PUBLISHER lacks ${_daxinst_attribute}=...")
  endif()
endforeach()
string(TOUPPER "${DAXINST_STALE_SERIAL}" DAXINST_STALE_SERIAL_UPPER)

# A resource script that embeds one bundle as ROOTC 1; the path lives only in the build folder.
function(daxinst_bundle_resource output bundle)
  file(TO_CMAKE_PATH "${bundle}" _bundle)
  file(WRITE ${output}.in "1 ROOTC \"${_bundle}\"\n")
  configure_file(${output}.in ${output} COPYONLY)
  set_source_files_properties(${output} PROPERTIES OBJECT_DEPENDS "${bundle}")
endfunction()

# Called once the test chain is made: sets DAXINST_PROGRAM_BUNDLE, the bundle the programs embed
# (the vendor's, or the test chain's root and intermediate), and writes the resource script that
# embeds it, DAXINST_BUNDLE_RESOURCE.
function(daxinst_choose_program_bundle)
  if(DAXINST_CERT_BUNDLE)
    if(NOT EXISTS "${DAXINST_CERT_BUNDLE}")
      message(FATAL_ERROR "DAXINST_CERT_BUNDLE names a missing file: ${DAXINST_CERT_BUNDLE}")
    endif()
    set(_bundle "${DAXINST_CERT_BUNDLE}")
  else()
    # The generated root is limited to code signing, which keeps it out of TLS and mail should it
    # leak, not out of code signing. Wine checks usage only on the leaf, so the tests cannot show
    # this; it is checked here, on the root that the program embeds.
    execute_process(
      COMMAND ${DAXINST_OPENSSL} x509 -in ${DAXINST_TEST_CHAIN_DIR}/root.pem -noout
              -ext extendedKeyUsage
      OUTPUT_VARIABLE _root_usage ERROR_VARIABLE _root_usage
      RESULT_VARIABLE _root_usage_result)
    string(REGEX REPLACE "[ \t\r\n]+" " " _root_usage "${_root_usage}")
    string(STRIP "${_root_usage}" _root_usage)
    if(NOT _root_usage_result EQUAL 0
       OR NOT _root_usage STREQUAL "X509v3 Extended Key Usage: Code Signing")
      message(FATAL_ERROR "The test root must carry the extended key usage code signing and no "
                          "other; openssl x509 says: '${_root_usage}'")
    endif()
    set(_bundle "${DAXINST_TEST_BUNDLE}")
  endif()
  set(_resource ${CMAKE_BINARY_DIR}/daxinst_bundle.rc)
  daxinst_bundle_resource(${_resource} "${_bundle}")
  set(DAXINST_PROGRAM_BUNDLE "${_bundle}" PARENT_SCOPE)
  set(DAXINST_BUNDLE_RESOURCE ${_resource} PARENT_SCOPE)
endfunction()

# Adds the resource script of the programs' bundle to target, a program's resource library, and
# rebuilds it when the bundle changes in place (source properties belong to one folder: this sets
# it in the target's).
function(daxinst_embed_program_bundle target)
  target_sources(${target} PRIVATE ${DAXINST_BUNDLE_RESOURCE})
  set_source_files_properties(${DAXINST_BUNDLE_RESOURCE} TARGET_DIRECTORY ${target}
                              PROPERTIES OBJECT_DEPENDS "${DAXINST_PROGRAM_BUNDLE}")
endfunction()
