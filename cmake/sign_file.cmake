# Signs one file with osslsigncode (Authenticode, SHA-256), as the build's
# signing settings say. Run by the build (cmake -P) with:
#   MENUTOOLS_SIGN_SETTINGS  the settings file cmake/signing.cmake wrote
#   IN    the file to sign
#   OUT   where the signed file goes; may be IN itself
#   NAME  the signature's description
#   DISCARD_INPUT_ON_FAILURE  ON: a failure deletes IN too, so that the next
#         build links it again and signs it, instead of taking it as done
#         (Make deletes it by itself; not every generator does)
#
# The signed file is written beside OUT under another name and renamed into
# place once complete, so that OUT is never an unsigned or half-written file.
# A failure removes OUT as well, so that no file of an earlier build stays in
# its place, and stops the build with the setting at fault where osslsigncode's
# reason tells it, and that reason. The password or PIN is read from its file
# by osslsigncode itself. SOURCE_DATE_EPOCH, read here from the build's
# environment when each file is signed, gives the signing time that the
# signature carries; otherwise it is now.
include(${MENUTOOLS_SIGN_SETTINGS})

# The key, as one argument: a pkcs11: URI separates its attributes with ";",
# which would split it in a CMake list.
if(NOT PKCS12 STREQUAL "")
  set(arguments)
  set(key_option -pkcs12)
  set(key "${PKCS12}")
else()
  set(arguments -pkcs11module ${PKCS11_MODULE} -certs ${CERTIFICATE})
  set(key_option -key)
  set(key "${PKCS11_KEY}")
endif()
list(APPEND arguments -readpass ${PASSWORD_FILE} -h sha256 -n ${NAME})
if(NOT TIMESTAMP_URL STREQUAL "")
  list(APPEND arguments -ts ${TIMESTAMP_URL})
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  list(APPEND arguments -time $ENV{SOURCE_DATE_EPOCH})
endif()

set(partial ${OUT}.partial)
file(REMOVE ${partial})
execute_process(COMMAND ${OSSLSIGNCODE} sign ${key_option} "${key}" ${arguments} -in ${IN} -out ${partial}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE ${partial})
  if(NOT OUT STREQUAL IN)
    file(REMOVE ${OUT})
  endif()
  if(DISCARD_INPUT_ON_FAILURE)
    file(REMOVE ${IN})
  endif()
  # The setting at fault, as far as the messages of osslsigncode, OpenSSL's
  # pkcs11 engine and the module tell it; the PIN is looked at first, since
  # a refused login also leaves the key not found.
  if(output MATCHES "PIN (incorrect|locked|expired|len range)")
    string(CONCAT fault "MENUTOOLS_SIGN_PASSWORD_FILE: the token refused the PIN in "
      "${PASSWORD_FILE} (PIN ${CMAKE_MATCH_1})")
  elseif(output MATCHES "Unable to load module")
    string(CONCAT fault "MENUTOOLS_SIGN_PKCS11_MODULE: ${PKCS11_MODULE}: does not load")
  elseif(output MATCHES "object not found|No matching initialized token")
    string(CONCAT fault "MENUTOOLS_SIGN_PKCS11_KEY: ${PKCS11_KEY}: the token holds no such key")
  elseif(output MATCHES "key values mismatch")
    string(CONCAT fault "MENUTOOLS_SIGN_CERTIFICATE: ${CERTIFICATE}: holds no certificate of "
      "the key ${PKCS11_KEY}")
  elseif(output MATCHES "HTTP failure|timestamping failed")
    string(CONCAT fault "MENUTOOLS_SIGN_TIMESTAMP_URL: ${TIMESTAMP_URL}: the time-stamping service "
      "gave no time stamp")
  else()
    string(CONCAT fault "signing with ${key} failed")
  endif()
  message(FATAL_ERROR "Signing ${IN}: ${fault} (osslsigncode: ${result}):\n${output}")
endif()
file(RENAME ${partial} ${OUT})
