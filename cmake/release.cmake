# The release path: reproducible binaries, the vendor's inputs and their checks, symbols kept
# beside stripped programs, install rules, signing at packaging time and the ZIPs.

set(DAXINST_SIGNING_PKCS12 "" CACHE FILEPATH
    "The vendor's PKCS #12 file (code-signing key, leaf and intermediate) to sign the package with")
set(DAXINST_SIGNING_PASSFILE "" CACHE FILEPATH
    "A file holding the PKCS #12 password, read by osslsigncode at packaging time")
set(DAXINST_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 time-stamp server for the signatures (required by a signed release)")
set(DAXINST_TIMESTAMP_CAFILE "" CACHE FILEPATH
    "PEM roots that the time stamps are verified against at packaging (empty: the system's)")
option(DAXINST_SIGN "Sign daxinst.exe and daxcheck.exe when packaging (needs a vendor bundle)" OFF)

# Two builds of one commit must give the same bytes wherever they are built: no folder name may
# reach a file (Boost's headers come in through the build folder, which is mapped last so that a
# build folder inside the source folder is mapped as the build folder), and the linker writes no
# time into the header.
if(NOT MSVC)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=daxinst>"
                      "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=daxinst-build>")
  # The build id survives stripping: it is what ties a shipped file (and a crash dump, whose
  # module list carries it) to the symbol file kept for it.
  add_link_options(-Wl,--build-id -Wl,--no-insert-timestamp)
endif()

find_package(Git QUIET)
# objcopy and strip write the current time into the header unless SOURCE_DATE_EPOCH says
# otherwise; the commit's own time keeps two builds of it equal.
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(DAXINST_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  set(_daxinst_epoch_origin "SOURCE_DATE_EPOCH")
else()
  set(DAXINST_SOURCE_DATE_EPOCH)
  if(GIT_EXECUTABLE)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE DAXINST_SOURCE_DATE_EPOCH ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  set(_daxinst_epoch_origin "the commit's time")
  if(NOT DAXINST_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    if(DAXINST_RELEASE)
      message(FATAL_ERROR "The source folder is no git checkout: set the environment variable "
                          "SOURCE_DATE_EPOCH to the commit's time (git log -1 --format=%ct)")
    endif()
    set(DAXINST_SOURCE_DATE_EPOCH 0)
    set(_daxinst_epoch_origin "no commit")
  endif()
endif()
if(NOT DAXINST_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be seconds since 1970: '${DAXINST_SOURCE_DATE_EPOCH}'")
endif()

# Called before the bundle is read: says what a release lacks in the words of the release presets.
function(daxinst_check_release_inputs)
  if(DEFINED DAXINST_SIGNING_PASSWORD OR DEFINED CACHE{DAXINST_SIGNING_PASSWORD})
    unset(DAXINST_SIGNING_PASSWORD CACHE)
    message(FATAL_ERROR "A password is never given to the build: put it in a file and set "
                        "DAXINST_SIGNING_PASSFILE to its path (read by osslsigncode -readpass at "
                        "packaging time)")
  endif()
  set(_how "(environment variable for cmake --workflow --preset, or -D...=)")
  if(DAXINST_RELEASE)
    if(DAXINST_TEST_CHAIN)
      message(FATAL_ERROR "A release never embeds the test chain: DAXINST_TEST_CHAIN must be OFF")
    endif()
    if(NOT DAXINST_CERT_BUNDLE)
      message(FATAL_ERROR "A release needs the vendor's bundle: set DAXINST_CERT_BUNDLE ${_how} "
                          "to the DER PKCS #7 file of its root and intermediate")
    endif()
    foreach(_variable DAXINST_PUBLISHER DAXINST_STALE_SERIAL)
      if(NOT ${_variable})
        message(FATAL_ERROR "A release needs ${_variable}: set it ${_how}")
      endif()
    endforeach()
    # A signature without a time stamp stops verifying when the signing certificate expires, and
    # every staging program that checks daxinst.exe then refuses it.
    if(DAXINST_SIGN AND NOT DAXINST_TIMESTAMP_URL)
      message(FATAL_ERROR "A signed release needs a time-stamp server: set DAXINST_TIMESTAMP_URL "
                          "${_how} to the URL of an RFC 3161 server, or use the preset "
                          "release-unsigned")
    endif()
  endif()
  if(DAXINST_SIGN)
    if(NOT DAXINST_CERT_BUNDLE)
      message(FATAL_ERROR "DAXINST_SIGN=ON needs the vendor's bundle (DAXINST_CERT_BUNDLE): its "
                          "root is what each signature is verified against")
    endif()
    foreach(_variable DAXINST_SIGNING_PKCS12 DAXINST_SIGNING_PASSFILE)
      if(NOT ${_variable} OR NOT EXISTS "${${_variable}}")
        message(FATAL_ERROR "Signing needs ${_variable}: set it ${_how} to an existing file "
                            "(now '${${_variable}}'), or use the preset release-unsigned")
      endif()
    endforeach()
    find_program(DAXINST_OSSLSIGNCODE osslsigncode)
    if(NOT DAXINST_OSSLSIGNCODE)
      message(FATAL_ERROR "Signing needs osslsigncode: install it")
    endif()
  endif()
endfunction()

# With a vendor bundle: the intermediate must be the certificate DAXINST_STALE_SERIAL names, and
# the publisher must be the vendor's, not the one the test chain is made for. The bundle's
# self-issued certificates are written to vendor-bundle/roots.pem, which the signatures are
# verified against.
function(daxinst_check_vendor_bundle)
  if(NOT DAXINST_CERT_BUNDLE)
    return()
  endif()
  if(DAXINST_PUBLISHER STREQUAL DAXINST_TEST_PUBLISHER)
    message(FATAL_ERROR "DAXINST_PUBLISHER is the test chain's publisher (${DAXINST_TEST_PUBLISHER}): "
                        "with a vendor bundle set DAXINST_PUBLISHER to the subject of the vendor's "
                        "code-signing certificate, CN=...;OU=...;O=...;L=...;ST=...;C=...")
  endif()
  if(NOT DAXINST_OPENSSL)
    message(FATAL_ERROR "openssl is needed to read DAXINST_CERT_BUNDLE")
  endif()
  execute_process(COMMAND ${DAXINST_OPENSSL} pkcs7 -inform DER -in ${DAXINST_CERT_BUNDLE} -print_certs
                  OUTPUT_VARIABLE _text ERROR_VARIABLE _error RESULT_VARIABLE _result)
  string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----[^-]+-----END CERTIFICATE-----" _certificates
               "${_text}")
  if(NOT _result EQUAL 0 OR NOT _certificates)
    message(FATAL_ERROR "DAXINST_CERT_BUNDLE (${DAXINST_CERT_BUNDLE}) is no DER certificates-only "
                        "PKCS #7 file: ${_error}")
  endif()
  set(_folder ${CMAKE_BINARY_DIR}/vendor-bundle)
  file(REMOVE_RECURSE ${_folder})
  set(_roots)
  set(_serials)
  string(TOUPPER "${DAXINST_STALE_SERIAL}" _wanted)
  string(REGEX REPLACE "^(00)+(..)" "\\2" _wanted "${_wanted}")
  set(_index 0)
  foreach(_certificate IN LISTS _certificates)
    math(EXPR _index "${_index} + 1")
    file(WRITE ${_folder}/certificate-${_index}.pem "${_certificate}\n")
    execute_process(COMMAND ${DAXINST_OPENSSL} x509 -in ${_folder}/certificate-${_index}.pem -noout
                            -serial -subject -issuer -nameopt RFC2253
                    OUTPUT_VARIABLE _fields RESULT_VARIABLE _result)
    if(NOT _result EQUAL 0 OR NOT _fields MATCHES "serial=([0-9A-Fa-f]+)\nsubject=([^\n]*)\nissuer=([^\n]*)")
      message(FATAL_ERROR "openssl x509 cannot read certificate ${_index} of ${DAXINST_CERT_BUNDLE}")
    endif()
    set(_subject "${CMAKE_MATCH_2}")
    set(_issuer "${CMAKE_MATCH_3}")
    string(TOUPPER "${CMAKE_MATCH_1}" _serial)
    string(REGEX REPLACE "^(00)+(..)" "\\2" _serial "${_serial}")
    if(_subject STREQUAL _issuer)
      string(APPEND _roots "${_certificate}\n")
    else()
      list(APPEND _serials ${_serial})
    endif()
  endforeach()
  if(NOT _roots OR NOT _serials)
    message(FATAL_ERROR "DAXINST_CERT_BUNDLE (${DAXINST_CERT_BUNDLE}) must hold the vendor's root "
                        "and its intermediate")
  endif()
  if(NOT _wanted IN_LIST _serials)
    list(JOIN _serials ", " _serials)
    message(FATAL_ERROR "The intermediate of DAXINST_CERT_BUNDLE has serial ${_serials}, but "
                        "DAXINST_STALE_SERIAL is ${DAXINST_STALE_SERIAL}: set DAXINST_STALE_SERIAL "
                        "to the intermediate's serial (openssl pkcs7 -inform DER -print_certs, then "
                        "openssl x509 -serial)")
  endif()
  file(WRITE ${_folder}/roots.pem "${_roots}")
  set(DAXINST_VENDOR_ROOTS ${_folder}/roots.pem PARENT_SCOPE)
endfunction()

# A shipped program is stripped, and its DWARF debug information is kept in <file>.debug beside
# it, which the stripped file names (with a checksum) in its .gnu_debuglink section. Called by
# the CMake file that makes the program: a step after the link belongs to the target's folder.
function(daxinst_keep_symbols target)
  set_target_properties(${target} PROPERTIES DAXINST_KEEPS_SYMBOLS ON)
  if(MSVC OR NOT CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel|RelWithDebInfo)$")
    return()
  endif()
  # Stripping at link time would leave nothing to keep.
  get_target_property(_options ${target} LINK_OPTIONS)
  if(_options)
    list(REMOVE_ITEM _options "-s" "$<$<CONFIG:Release,MinSizeRel>:-s>")
    set_target_properties(${target} PROPERTIES LINK_OPTIONS "${_options}")
  endif()
  set(_epoch ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${DAXINST_SOURCE_DATE_EPOCH})
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND ${_epoch} ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}>
            $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${_epoch} ${CMAKE_STRIP} --strip-all $<TARGET_FILE_NAME:${target}>
    COMMAND ${_epoch} ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
            $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Keeping the symbols of ${target} beside it (.debug)"
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY DAXINST_SYMBOL_FILES $<TARGET_FILE:${target}>.debug)
endfunction()

# The programs a release ships, their install rules, the package and the configure summary.
function(daxinst_release_rules)
  set(_programs daxinst)
  if(TARGET daxcheck)
    list(APPEND _programs daxcheck)
  endif()
  set(_files)
  foreach(_program IN LISTS _programs)
    get_target_property(_keeps ${_program} DAXINST_KEEPS_SYMBOLS)
    if(NOT _keeps)
      message(FATAL_ERROR "${_program} is shipped: call daxinst_keep_symbols(${_program}) where "
                          "it is made")
    endif()
    list(APPEND _files ${_program}.exe)
  endforeach()

  # What the package was built from and with.
  set(_commit "unknown")
  if(GIT_EXECUTABLE)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} rev-parse HEAD
                    OUTPUT_VARIABLE _commit ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} status --porcelain
                            --untracked-files=no
                    OUTPUT_VARIABLE _changes ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(_changes)
      string(APPEND _commit " (with uncommitted changes)")
    endif()
  endif()
  if(NOT _commit)
    set(_commit "unknown (no git checkout)")
  endif()
  set(_packages)
  find_program(DAXINST_DPKG_QUERY dpkg-query)
  if(DAXINST_DPKG_QUERY)
    execute_process(
      COMMAND ${DAXINST_DPKG_QUERY} -W "-f=\${Package} \${Version}\\n" g++-mingw-w64-x86-64-posix
              gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
              libboost-dev cmake openssl osslsigncode
      OUTPUT_VARIABLE _packages ERROR_QUIET)
  endif()
  set(_buildinfo ${CMAKE_BINARY_DIR}/BUILDINFO.txt)
  file(WRITE ${_buildinfo}.in
       "daxinst ${DAXINST_VERSION_QUAD}\n"
       "commit: ${_commit}\n"
       "SOURCE_DATE_EPOCH: ${DAXINST_SOURCE_DATE_EPOCH} (${_daxinst_epoch_origin})\n"
       "build type: ${CMAKE_BUILD_TYPE}\n"
       "compiler: ${CMAKE_CXX_COMPILER} ${CMAKE_CXX_COMPILER_VERSION}\n"
       "toolchain packages:\n${_packages}")
  configure_file(${_buildinfo}.in ${_buildinfo} COPYONLY)

  install(TARGETS ${_programs} RUNTIME DESTINATION . COMPONENT runtime)
  install(FILES ${_buildinfo} DESTINATION . COMPONENT runtime)
  # Signs (when asked), verifies and lists the installed copies; the build folder's files stay
  # unsigned, which is what two builds of one commit are compared by.
  install(CODE "
    set(DAXINST_INSTALLED_FILES [==[${_files}]==])
    set(DAXINST_SIGN [==[${DAXINST_SIGN}]==])
    set(DAXINST_OSSLSIGNCODE [==[${DAXINST_OSSLSIGNCODE}]==])
    set(DAXINST_SIGNING_PKCS12 [==[${DAXINST_SIGNING_PKCS12}]==])
    set(DAXINST_SIGNING_PASSFILE [==[${DAXINST_SIGNING_PASSFILE}]==])
    set(DAXINST_TIMESTAMP_URL [==[${DAXINST_TIMESTAMP_URL}]==])
    set(DAXINST_TIMESTAMP_CAFILE [==[${DAXINST_TIMESTAMP_CAFILE}]==])
    set(DAXINST_OPENSSL [==[${DAXINST_OPENSSL}]==])
    set(DAXINST_BUILDINFO_NAME BUILDINFO.txt)
    set(DAXINST_VENDOR_ROOTS [==[${DAXINST_VENDOR_ROOTS}]==])
    set(DAXINST_PUBLISHER [==[${DAXINST_PUBLISHER}]==])
    set(DAXINST_INSTALL_FOLDER \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    include([==[${CMAKE_SOURCE_DIR}/cmake/sign-installed.cmake]==])
  " COMPONENT runtime)
  get_property(_symbol_files GLOBAL PROPERTY DAXINST_SYMBOL_FILES)
  if(_symbol_files)
    install(FILES ${_symbol_files} ${_buildinfo} DESTINATION . COMPONENT symbols)
  endif()

  # The package's name says what is not for release.
  set(_suffix)
  if(DAXINST_TEST_CHAIN)
    string(APPEND _suffix "-test-signing")
  endif()
  if(DAXINST_ENABLE_LOG)
    string(APPEND _suffix "-diagnostic")
  endif()
  if(NOT DAXINST_SIGN)
    string(APPEND _suffix "-unsigned")
  endif()
  set(_name daxinst-${PROJECT_VERSION}-win64${_suffix})
  set(CPACK_PACKAGE_NAME daxinst)
  set(CPACK_PACKAGE_VENDOR Quorvex)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
  set(CPACK_PACKAGE_FILE_NAME ${_name})
  set(CPACK_PACKAGE_CHECKSUM SHA256)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime)
  if(_symbol_files)
    list(APPEND CPACK_COMPONENTS_ALL symbols)
  endif()
  set(CPACK_ARCHIVE_RUNTIME_FILE_NAME ${_name})
  set(CPACK_ARCHIVE_SYMBOLS_FILE_NAME ${_name}-symbols)
  include(CPack)

  # One short summary.
  if(DAXINST_ENABLE_LOG)
    set(_log "on (diagnostic)")
  else()
    set(_log "off")
  endif()
  if(DAXINST_TEST_CHAIN)
    set(_trust "test chain of ${DAXINST_TEST_CHAIN_DIR} (not for release)")
  else()
    set(_trust "vendor bundle ${DAXINST_CERT_BUNDLE}")
  endif()
  set(_built ${_files})
  if(DAXINST_BUILD_TESTS)
    list(APPEND _built tests)
  endif()
  if(DAXINST_BUILD_BENCH)
    list(APPEND _built benchmarks)
  endif()
  list(JOIN _built ", " _built)
  if(DAXINST_SIGN)
    set(_signing "signed at packaging time with ${DAXINST_SIGNING_PKCS12}")
    if(DAXINST_TIMESTAMP_URL)
      string(APPEND _signing ", timestamp ${DAXINST_TIMESTAMP_URL}")
    else()
      string(APPEND _signing ", no timestamp")
    endif()
  else()
    set(_signing "UNSIGNED")
  endif()
  message(STATUS "daxinst ${DAXINST_VERSION_QUAD} (${CMAKE_BUILD_TYPE})\n"
                 "   log:          ${_log}\n"
                 "   trust:        ${_trust}\n"
                 "   publisher:    ${DAXINST_PUBLISHER}\n"
                 "   stale serial: ${DAXINST_STALE_SERIAL_UPPER}\n"
                 "   builds:       ${_built}\n"
                 "   package:      ${_name}.zip, ${_signing}")
endfunction()
