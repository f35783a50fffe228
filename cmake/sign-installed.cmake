# Runs at install time (and so when CPack stages the package) on the installed copies of the
# shipped programs: signs each with the vendor's PKCS #12 when signing is on, verifies the
# signature against the vendor's root, checks that the signer is the configured publisher, and
# lists every file's SHA-256 in SHA256SUMS. Any failure stops the installation, so no package is
# made of an unsigned or wrongly signed file.
#
# Set by the install rule: DAXINST_INSTALLED_FILES, DAXINST_INSTALL_FOLDER, DAXINST_SIGN,
# DAXINST_OSSLSIGNCODE, DAXINST_SIGNING_PKCS12, DAXINST_SIGNING_PASSFILE, DAXINST_TIMESTAMP_URL,
# DAXINST_TIMESTAMP_CAFILE, DAXINST_VENDOR_ROOTS, DAXINST_PUBLISHER, DAXINST_OPENSSL,
# DAXINST_BUILDINFO_NAME.

# "CN=a;OU=b;..." into the list <out> of "KEY=value" entries, keys in upper case (S is ST).
function(daxinst_publisher_attributes out text)
  string(REPLACE ";" "\n" _text "${text}")
  string(REGEX MATCHALL "[^\n]+" _parts "${_text}")
  set(_attributes)
  foreach(_part IN LISTS _parts)
    if(_part MATCHES "^([^=]+)=(.*)$")
      string(STRIP "${CMAKE_MATCH_1}" _key)
      string(TOUPPER "${_key}" _key)
      if(_key STREQUAL "S")
        set(_key ST)
      endif()
      list(APPEND _attributes "${_key}=${CMAKE_MATCH_2}")
    endif()
  endforeach()
  list(SORT _attributes)
  set(${out} "${_attributes}" PARENT_SCOPE)
endfunction()

# The signer's subject as a list of "KEY=value" entries, read by openssl from the signer's own
# certificate in the signature: one attribute a line, control characters escaped, so that no
# value can pass for a separator or for another attribute (osslsigncode's "/C=../CN=.." text
# cannot tell a "/" in a value from the next attribute).
function(daxinst_signer_attributes out subject_out file verify_output)
  set(_scratch ${file}.signature)
  file(REMOVE_RECURSE ${_scratch})
  file(MAKE_DIRECTORY ${_scratch})
  execute_process(COMMAND ${DAXINST_OSSLSIGNCODE} extract-signature -pem -in ${file}
                          -out ${_scratch}/signature.pem
                  OUTPUT_VARIABLE _output ERROR_VARIABLE _output RESULT_VARIABLE _result)
  if(NOT _result EQUAL 0)
    file(REMOVE_RECURSE ${_scratch})
    message(FATAL_ERROR "Refusing to package ${file}: its signature cannot be extracted:\n${_output}")
  endif()
  # The serial that osslsigncode gives for the signer (hexadecimal: nothing in it can be mistaken
  # for anything else) names the signer's certificate among those that the signature carries.
  if(NOT verify_output MATCHES "Signer's certificate:[^S]*Signer #0:[^\n]*\n[^\n]*Subject:[^\n]*\n[^\n]*Issuer[^\n]*\n[ \t]*Serial[ \t]*:[ \t]*([0-9A-Fa-f]+)")
    file(REMOVE_RECURSE ${_scratch})
    message(FATAL_ERROR "Refusing to package ${file}: osslsigncode verify names no signer")
  endif()
  string(TOUPPER "${CMAKE_MATCH_1}" _wanted)
  string(REGEX REPLACE "^0+" "" _wanted "${_wanted}")
  execute_process(COMMAND ${DAXINST_OPENSSL} pkcs7 -in ${_scratch}/signature.pem -print_certs
                  OUTPUT_VARIABLE _text RESULT_VARIABLE _result)
  string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----[^-]+-----END CERTIFICATE-----" _certificates
               "${_text}")
  set(_index 0)
  set(_found)
  foreach(_certificate IN LISTS _certificates)
    math(EXPR _index "${_index} + 1")
    file(WRITE ${_scratch}/certificate-${_index}.pem "${_certificate}\n")
    execute_process(COMMAND ${DAXINST_OPENSSL} x509 -in ${_scratch}/certificate-${_index}.pem
                            -noout -serial
                    OUTPUT_VARIABLE _serial RESULT_VARIABLE _result)
    if(_result EQUAL 0 AND _serial MATCHES "serial=([0-9A-Fa-f]+)")
      string(TOUPPER "${CMAKE_MATCH_1}" _serial)
      string(REGEX REPLACE "^0+" "" _serial "${_serial}")
      if(_serial STREQUAL _wanted)
        if(_found)
          file(REMOVE_RECURSE ${_scratch})
          message(FATAL_ERROR "Refusing to package ${file}: two certificates of its signature "
                              "carry the signer's serial")
        endif()
        set(_found ${_scratch}/certificate-${_index}.pem)
      endif()
    endif()
  endforeach()
  if(NOT _found)
    file(REMOVE_RECURSE ${_scratch})
    message(FATAL_ERROR "Refusing to package ${file}: its signature lacks the signer's certificate")
  endif()
  execute_process(COMMAND ${DAXINST_OPENSSL} x509 -in ${_found} -noout -subject
                          -nameopt sep_multiline,sname,utf8,esc_ctrl
                  OUTPUT_VARIABLE _lines RESULT_VARIABLE _result)
  execute_process(COMMAND ${DAXINST_OPENSSL} x509 -in ${_found} -noout -subject -nameopt RFC2253
                  OUTPUT_VARIABLE _subject OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REMOVE_RECURSE ${_scratch})
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "Refusing to package ${file}: openssl cannot read its signer's subject")
  endif()
  string(REGEX MATCHALL "\n    [^\n]+" _rows "${_lines}")
  set(_attributes)
  foreach(_row IN LISTS _rows)
    string(REGEX REPLACE "^\n    " "" _row "${_row}")
    if(_row MATCHES "^([^=]+)=(.*)$")
      string(TOUPPER "${CMAKE_MATCH_1}" _key)
      list(APPEND _attributes "${_key}=${CMAKE_MATCH_2}")
    endif()
  endforeach()
  list(SORT _attributes)
  string(REGEX REPLACE "^subject=" "" _subject "${_subject}")
  set(${out} "${_attributes}" PARENT_SCOPE)
  set(${subject_out} "${_subject}" PARENT_SCOPE)
endfunction()

function(daxinst_check_signature file)
  set(_tsa)
  if(DAXINST_TIMESTAMP_CAFILE)
    set(_tsa -TSA-CAfile ${DAXINST_TIMESTAMP_CAFILE})
  endif()
  execute_process(COMMAND ${DAXINST_OSSLSIGNCODE} verify -CAfile ${DAXINST_VENDOR_ROOTS} ${_tsa}
                          -in ${file}
                  OUTPUT_VARIABLE _output ERROR_VARIABLE _error RESULT_VARIABLE _result)
  if(NOT _result EQUAL 0 OR NOT _output MATCHES "Signature verification: ok")
    message(FATAL_ERROR "Refusing to package ${file}: its signature does not verify against the "
                        "vendor's root ${DAXINST_VENDOR_ROOTS}:\n${_output}${_error}")
  endif()
  # Without a time stamp that verifies, the signature stops verifying when the signing
  # certificate expires.
  if(DAXINST_TIMESTAMP_URL AND NOT _output MATCHES "Timestamp Server Signature verification: ok")
    message(FATAL_ERROR "Refusing to package ${file}: its signature carries no time stamp of "
                        "${DAXINST_TIMESTAMP_URL} that verifies (roots: DAXINST_TIMESTAMP_CAFILE, "
                        "or the system's when it is empty):\n${_output}${_error}")
  endif()
  # verify accepts any signer the root vouches for; the publisher is checked here, attribute by
  # attribute and with nothing more or less than DAXINST_PUBLISHER names.
  daxinst_signer_attributes(_signer _subject ${file} "${_output}")
  daxinst_publisher_attributes(_publisher "${DAXINST_PUBLISHER}")
  if(NOT _signer STREQUAL _publisher)
    set(_missing ${_publisher})
    list(REMOVE_ITEM _missing ${_signer})
    set(_extra ${_signer})
    list(REMOVE_ITEM _extra ${_publisher})
    message(FATAL_ERROR "Refusing to package ${file}: it is signed by '${_subject}', whose "
                        "subject is not DAXINST_PUBLISHER '${DAXINST_PUBLISHER}' (publisher's not "
                        "in the signer: '${_missing}'; signer's not in the publisher: '${_extra}')")
  endif()
  message(STATUS "Signed and verified: ${file} (signer ${_subject})")
endfunction()

set(_sums)
foreach(_name IN LISTS DAXINST_INSTALLED_FILES)
  set(_file ${DAXINST_INSTALL_FOLDER}/${_name})
  if(DAXINST_SIGN)
    set(_timestamp)
    if(DAXINST_TIMESTAMP_URL)
      set(_timestamp -ts ${DAXINST_TIMESTAMP_URL})
    endif()
    file(REMOVE ${_file}.signed)
    # The password is read from its file by osslsigncode, never passed through a command line.
    execute_process(
      COMMAND ${DAXINST_OSSLSIGNCODE} sign -pkcs12 ${DAXINST_SIGNING_PKCS12} -readpass
              ${DAXINST_SIGNING_PASSFILE} -h sha256 -n "Quorvex Client Security" ${_timestamp}
              -in ${_file} -out ${_file}.signed
      OUTPUT_VARIABLE _output ERROR_VARIABLE _output RESULT_VARIABLE _result)
    if(NOT _result EQUAL 0)
      file(REMOVE ${_file}.signed)
      message(FATAL_ERROR "osslsigncode could not sign ${_file}:\n${_output}")
    endif()
    file(RENAME ${_file}.signed ${_file})
    daxinst_check_signature(${_file})
  endif()
  file(SHA256 ${_file} _hash)
  string(APPEND _sums "${_hash}  ${_name}\n")
endforeach()
# What the package says it was built from is listed too. The sums show a damaged download, not a
# forged one: they are no signature, and whoever can change the files can change them.
if(DAXINST_BUILDINFO_NAME)
  file(SHA256 ${DAXINST_INSTALL_FOLDER}/${DAXINST_BUILDINFO_NAME} _hash)
  string(APPEND _sums "${_hash}  ${DAXINST_BUILDINFO_NAME}\n")
endif()
file(WRITE ${DAXINST_INSTALL_FOLDER}/SHA256SUMS "${_sums}")
