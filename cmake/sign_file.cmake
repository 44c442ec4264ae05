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
# its place, and stops the build with osslsigncode's reason. The password is
# read from its file by osslsigncode itself. SOURCE_DATE_EPOCH, when set,
# gives the signing time that the signature carries; otherwise it is now.
include(${MENUTOOLS_SIGN_SETTINGS})

set(arguments sign -pkcs12 ${PKCS12} -readpass ${PASSWORD_FILE} -h sha256 -n ${NAME})
if(NOT TIMESTAMP_URL STREQUAL "")
  list(APPEND arguments -ts ${TIMESTAMP_URL})
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  list(APPEND arguments -time $ENV{SOURCE_DATE_EPOCH})
endif()

set(partial ${OUT}.partial)
file(REMOVE ${partial})
execute_process(COMMAND ${OSSLSIGNCODE} ${arguments} -in ${IN} -out ${partial}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE ${partial})
  if(NOT OUT STREQUAL IN)
    file(REMOVE ${OUT})
  endif()
  if(DISCARD_INPUT_ON_FAILURE)
    file(REMOVE ${IN})
  endif()
  message(FATAL_ERROR "Signing ${IN} with ${PKCS12} failed (osslsigncode: ${result}):\n${output}")
endif()
file(RENAME ${partial} ${OUT})
