# Runs at install time (and so when CPack stages the package) on the installed copies of the
# shipped programs: signs each with the vendor's PKCS #12 when signing is on, verifies the
# signature against the vendor's root, checks that the signer is the configured publisher, and
# lists every file's SHA-256 in SHA256SUMS. Any failure stops the installation, so no package is
# made of an unsigned or wrongly signed file.
#
# Set by the install rule: DAXINST_INSTALLED_FILES, DAXINST_INSTALL_FOLDER, DAXINST_SIGN,
# DAXINST_OSSLSIGNCODE, DAXINST_SIGNING_PKCS12, DAXINST_SIGNING_PASSFILE, DAXINST_TIMESTAMP_URL,
# DAXINST_VENDOR_ROOTS, DAXINST_PUBLISHER.

# "CN=a;OU=b;..." or "/C=../CN=.." into variables <prefix>_<attribute>.
function(daxinst_identity_fields prefix text separator)
  if(separator STREQUAL "/")
    string(REGEX MATCHALL "/[A-Za-z]+=[^/]*" _parts "${text}")
  else()
    string(REPLACE ";" "\n" _text "${text}")
    string(REGEX MATCHALL "[^\n]+" _parts "${_text}")
  endif()
  foreach(_part IN LISTS _parts)
    if(_part MATCHES "^/?([^=]+)=(.*)$")
      string(STRIP "${CMAKE_MATCH_1}" _key)
      set(_value "${CMAKE_MATCH_2}")
      string(TOUPPER "${_key}" _key)
      if(_key STREQUAL "S")
        set(_key ST)
      endif()
      set(${prefix}_${_key} "${_value}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

function(daxinst_check_signature file)
  execute_process(COMMAND ${DAXINST_OSSLSIGNCODE} verify -CAfile ${DAXINST_VENDOR_ROOTS} -in ${file}
                  OUTPUT_VARIABLE _output ERROR_VARIABLE _error RESULT_VARIABLE _result)
  if(NOT _result EQUAL 0 OR NOT _output MATCHES "Signature verification: ok")
    message(FATAL_ERROR "Refusing to package ${file}: its signature does not verify against the "
                        "vendor's root ${DAXINST_VENDOR_ROOTS}:\n${_output}${_error}")
  endif()
  # verify accepts any signer the root vouches for; the publisher is checked here.
  if(NOT _output MATCHES "Signer's certificate:[^S]*Signer #0:[ \t\r\n]*Subject: ([^\r\n]*)")
    message(FATAL_ERROR "Refusing to package ${file}: osslsigncode verify names no signer")
  endif()
  set(_subject "${CMAKE_MATCH_1}")
  daxinst_identity_fields(_signer "${_subject}" "/")
  daxinst_identity_fields(_publisher "${DAXINST_PUBLISHER}" ";")
  foreach(_attribute CN OU O L ST C)
    if(NOT DEFINED _publisher_${_attribute} OR NOT DEFINED _signer_${_attribute}
       OR NOT _signer_${_attribute} STREQUAL _publisher_${_attribute})
      message(FATAL_ERROR "Refusing to package ${file}: it is signed by '${_subject}', whose "
                          "${_attribute} is not that of DAXINST_PUBLISHER '${DAXINST_PUBLISHER}'")
    endif()
  endforeach()
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
file(WRITE ${DAXINST_INSTALL_FOLDER}/SHA256SUMS "${_sums}")
