# Authenticode signing of the programs and the sample installers, off unless
# MENUTOOLS_SIGN_PKCS12 names a PKCS#12 file. Included by CMakeLists.txt after
# project(); sets MENUTOOLS_SIGN (ON or OFF) and, in a build that signs,
# MENUTOOLS_SIGN_DEPENDS (the files a signature depends on) and the functions
# below.
#
# What can be known before the build is checked here, so that a bad setting
# fails the configure with the file and the reason: both files exist, openssl
# opens the PKCS#12 file with the password, and its certificate is meant for
# code signing. A signing step that fails all the same fails the build
# (cmake/sign_file.cmake).

set(MENUTOOLS_SIGN_PKCS12 "" CACHE FILEPATH
  "PKCS#12 file (.p12, .pfx) with the certificate and key that sign the programs and the \
sample installers; empty: nothing is signed")
set(MENUTOOLS_SIGN_PASSWORD_FILE "" CACHE FILEPATH
  "File that holds the password of MENUTOOLS_SIGN_PKCS12 alone, on one line (the password \
itself never goes into the cache or onto a command line)")
set(MENUTOOLS_SIGN_TIMESTAMP_URL "" CACHE STRING
  "RFC 3161 time-stamping service for the signatures; empty: no time stamp")

set(MENUTOOLS_SIGN_DIR ${CMAKE_BINARY_DIR}/signing)
set(MENUTOOLS_SIGN_SETTINGS ${MENUTOOLS_SIGN_DIR}/settings.cmake)
set(MENUTOOLS_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign_file.cmake)
# Where a signing build links the programs: never their output folder, which
# receives them only signed.
set(MENUTOOLS_UNSIGNED_DIR ${CMAKE_BINARY_DIR}/unsigned)

if("${MENUTOOLS_SIGN_PKCS12}" STREQUAL "")
  set(MENUTOOLS_SIGN OFF)
  file(REMOVE ${MENUTOOLS_SIGN_SETTINGS})
  return()
endif()
set(MENUTOOLS_SIGN ON)

find_program(OSSLSIGNCODE_EXECUTABLE osslsigncode)
if(NOT OSSLSIGNCODE_EXECUTABLE)
  message(FATAL_ERROR "osslsigncode not found: MENUTOOLS_SIGN_PKCS12 asks for signed programs, "
    "and they are signed with it. Install Debian's package osslsigncode, "
    "or set OSSLSIGNCODE_EXECUTABLE.")
endif()
find_program(OPENSSL_EXECUTABLE openssl)
if(NOT OPENSSL_EXECUTABLE)
  message(FATAL_ERROR "openssl not found: MENUTOOLS_SIGN_PKCS12 is checked with it before the "
    "build. Install Debian's package openssl, or set OPENSSL_EXECUTABLE.")
endif()

set(sign_pkcs12 "${MENUTOOLS_SIGN_PKCS12}")
set(sign_password_file "${MENUTOOLS_SIGN_PASSWORD_FILE}")
if(NOT EXISTS "${sign_pkcs12}" OR IS_DIRECTORY "${sign_pkcs12}")
  message(FATAL_ERROR "MENUTOOLS_SIGN_PKCS12: ${sign_pkcs12}: no such file")
endif()
if("${sign_password_file}" STREQUAL "")
  message(FATAL_ERROR "MENUTOOLS_SIGN_PASSWORD_FILE is not set: name the file that holds the "
    "password of ${sign_pkcs12}")
endif()
if(NOT EXISTS "${sign_password_file}" OR IS_DIRECTORY "${sign_password_file}")
  message(FATAL_ERROR "MENUTOOLS_SIGN_PASSWORD_FILE: ${sign_password_file}: no such file")
endif()

# The certificate that goes with the key, as openssl reads it with the
# password. Files made by older tools may use ciphers that OpenSSL 3 keeps in
# its legacy provider, which osslsigncode loads by itself; so does the second
# try.
file(MAKE_DIRECTORY ${MENUTOOLS_SIGN_DIR})
set(sign_certificate ${MENUTOOLS_SIGN_DIR}/certificate.pem)
file(REMOVE ${sign_certificate})
set(sign_read_certificate ${OPENSSL_EXECUTABLE} pkcs12 -in ${sign_pkcs12}
  -passin file:${sign_password_file} -nokeys -clcerts -out ${sign_certificate})
execute_process(COMMAND ${sign_read_certificate}
  RESULT_VARIABLE sign_result ERROR_VARIABLE sign_error OUTPUT_QUIET)
if(NOT sign_result EQUAL 0)
  execute_process(COMMAND ${sign_read_certificate} -legacy
    RESULT_VARIABLE sign_legacy_result OUTPUT_QUIET ERROR_QUIET)
  if(NOT sign_legacy_result EQUAL 0)
    message(FATAL_ERROR "MENUTOOLS_SIGN_PKCS12: ${sign_pkcs12}: openssl cannot open it with the "
      "password in ${sign_password_file} (a wrong password, a password file that holds more "
      "than the password on one line, or not a PKCS#12 file):\n${sign_error}")
  endif()
endif()
execute_process(COMMAND ${OPENSSL_EXECUTABLE} x509 -in ${sign_certificate} -noout
    -subject -nameopt compat -ext extendedKeyUsage
  RESULT_VARIABLE sign_result OUTPUT_VARIABLE sign_details ERROR_VARIABLE sign_error)
if(NOT sign_result EQUAL 0 OR NOT sign_details MATCHES "subject=([^\n]*)")
  message(FATAL_ERROR "MENUTOOLS_SIGN_PKCS12: ${sign_pkcs12} holds no certificate for its "
    "key:\n${sign_error}")
endif()
set(MENUTOOLS_SIGN_SUBJECT "${CMAKE_MATCH_1}")
set(sign_usages "none given")
if(sign_details MATCHES "Extended Key Usage:[^\n]*\n *([^\n]*)")
  set(sign_usages "${CMAKE_MATCH_1}")
endif()
string(REPLACE ", " ";" sign_usage_list "${sign_usages}")
if(NOT "Code Signing" IN_LIST sign_usage_list)
  message(FATAL_ERROR "MENUTOOLS_SIGN_PKCS12: ${sign_pkcs12}: its certificate "
    "${MENUTOOLS_SIGN_SUBJECT} is not meant for code signing (extended key usage: "
    "${sign_usages}); signatures made with it do not verify. Use a certificate with the "
    "extended key usage codeSigning.")
endif()
message(STATUS "Signing the programs and the sample installers as ${MENUTOOLS_SIGN_SUBJECT}")

# What the signing steps read at build time: paths only, never the password.
# A change of settings reaches every signature, and the programs of an earlier
# build (unsigned ones above all) leave the output folder at once: the build
# puts them back signed.
set(sign_settings "# Written by cmake/signing.cmake: what cmake/sign_file.cmake signs with.
set(OSSLSIGNCODE [==[${OSSLSIGNCODE_EXECUTABLE}]==])
set(PKCS12 [==[${sign_pkcs12}]==])
set(PASSWORD_FILE [==[${sign_password_file}]==])
set(TIMESTAMP_URL [==[${MENUTOOLS_SIGN_TIMESTAMP_URL}]==])
")
set(sign_previous_settings "")
if(EXISTS ${MENUTOOLS_SIGN_SETTINGS})
  file(READ ${MENUTOOLS_SIGN_SETTINGS} sign_previous_settings)
endif()
set(MENUTOOLS_SIGN_SETTINGS_CHANGED OFF)
if(NOT sign_previous_settings STREQUAL sign_settings)
  set(MENUTOOLS_SIGN_SETTINGS_CHANGED ON)
  file(WRITE ${MENUTOOLS_SIGN_SETTINGS} "${sign_settings}")
endif()
set(MENUTOOLS_SIGN_DEPENDS ${MENUTOOLS_SIGN_SETTINGS} ${sign_pkcs12} ${sign_password_file})

# Sets <out_var> to the command (for add_custom_command's COMMAND) that signs
# the file <in> into <out>, which may be <in> itself, with <description> as
# the signature's name. Further arguments go to cmake/sign_file.cmake.
function(menutools_sign_command out_var in out description)
  set(${out_var} ${CMAKE_COMMAND} -DMENUTOOLS_SIGN_SETTINGS=${MENUTOOLS_SIGN_SETTINGS}
    -DIN=${in} -DOUT=${out} "-DNAME=${description}" ${ARGN} -P ${MENUTOOLS_SIGN_SCRIPT}
    PARENT_SCOPE)
endfunction()

# Links the program <target> into MENUTOOLS_UNSIGNED_DIR and signs it into
# the programs' output folder right after each link, named with the
# FileDescription of the version block that <resource_script> defines; sets
# <signed_var> to the signed program. It is linked again when the key, the
# password or the settings change; a failed signing leaves no program in the
# output folder, and the next build links and signs again.
function(menutools_sign_program target resource_script signed_var)
  file(STRINGS ${resource_script} line REGEX "^#define MENUTOOLS_FILE_DESCRIPTION \"")
  if(NOT line MATCHES "\"(.+)\"")
    message(FATAL_ERROR "${resource_script}: no MENUTOOLS_FILE_DESCRIPTION to name the "
      "signature of ${target}")
  endif()
  set(description "${CMAKE_MATCH_1}")
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  set(folder ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  if(multi_config)
    string(APPEND folder /$<CONFIG>)
  endif()
  set(signed ${folder}/$<TARGET_FILE_NAME:${target}>)
  if(MENUTOOLS_SIGN_SETTINGS_CHANGED)
    file(GLOB earlier ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${target}${CMAKE_EXECUTABLE_SUFFIX}
      ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/*/${target}${CMAKE_EXECUTABLE_SUFFIX})
    if(earlier)
      file(REMOVE ${earlier})
    endif()
  endif()
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${MENUTOOLS_UNSIGNED_DIR})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${MENUTOOLS_SIGN_DEPENDS})
  menutools_sign_command(sign $<TARGET_FILE:${target}> ${signed} ${description}
    -DDISCARD_INPUT_ON_FAILURE=ON)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${sign}
    COMMENT "Signing ${target}"
    VERBATIM)
  set(${signed_var} ${signed} PARENT_SCOPE)
endfunction()
