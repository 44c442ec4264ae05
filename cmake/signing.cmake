# Authenticode signing of the programs and the sample installers, off unless
# one way of signing is named: MENUTOOLS_SIGN_PKCS12, a PKCS#12 file with the
# certificate and its key; or the three MENUTOOLS_SIGN_PKCS11_MODULE,
# MENUTOOLS_SIGN_PKCS11_KEY and MENUTOOLS_SIGN_CERTIFICATE, a key on a token
# (or in an HSM, or behind a key service) that a PKCS#11 module reaches, with
# its certificate chain in a PEM file. Included by CMakeLists.txt after
# project(); sets MENUTOOLS_SIGN (ON or OFF) and, in a build that signs,
# MENUTOOLS_SIGN_DEPENDS (the files a signature depends on),
# MENUTOOLS_SIGN_WITH_TOKEN and the functions below.
#
# What can be known before the build is checked here, so that a bad setting
# fails the configure naming the setting and the reason: the files exist, the
# module loads, openssl opens the PKCS#12 file with the password, and the
# certificate is meant for code signing. The token's PIN is not tried here:
# every try counts against the token's limit of wrong ones, so it is tried
# by the signing steps alone, which also find out whether the token holds the
# key and whether the certificate belongs to it. A signing step that fails
# fails the build naming the setting it could tell (cmake/sign_file.cmake).

set(MENUTOOLS_SIGN_PKCS12 "" CACHE FILEPATH
  "PKCS#12 file (.p12, .pfx) with the certificate and key that sign the programs and the \
sample installers; empty: not signed this way")
set(MENUTOOLS_SIGN_PKCS11_MODULE "" CACHE FILEPATH
  "PKCS#11 module (.so) through which the signing key is reached; empty: not signed this way")
set(MENUTOOLS_SIGN_PKCS11_KEY "" CACHE STRING
  "pkcs11: URI of the signing key that MENUTOOLS_SIGN_PKCS11_MODULE reaches, without a PIN")
set(MENUTOOLS_SIGN_CERTIFICATE "" CACHE FILEPATH
  "PEM file with the certificate of MENUTOOLS_SIGN_PKCS11_KEY first, then its issuers")
set(MENUTOOLS_SIGN_PASSWORD_FILE "" CACHE FILEPATH
  "File that holds the password of MENUTOOLS_SIGN_PKCS12, or the PIN of the token, alone on \
one line (the secret itself never goes into the cache or onto a command line)")
set(MENUTOOLS_SIGN_TIMESTAMP_URL "" CACHE STRING
  "RFC 3161 time-stamping service for the signatures; empty: no time stamp")

set(MENUTOOLS_SIGN_DIR ${PROJECT_BINARY_DIR}/signing)
set(MENUTOOLS_SIGN_SETTINGS ${MENUTOOLS_SIGN_DIR}/settings.cmake)
set(MENUTOOLS_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign_file.cmake)
# Where a signing build links the programs: never their output folder, which
# receives them only signed.
set(MENUTOOLS_UNSIGNED_DIR ${PROJECT_BINARY_DIR}/unsigned)

# Exactly one way: the settings of each that are set.
set(sign_pkcs12_settings)
set(sign_token_settings)
foreach(setting PKCS12 PKCS11_MODULE PKCS11_KEY CERTIFICATE)
  if(NOT "${MENUTOOLS_SIGN_${setting}}" STREQUAL "")
    if(setting STREQUAL "PKCS12")
      list(APPEND sign_pkcs12_settings MENUTOOLS_SIGN_${setting})
    else()
      list(APPEND sign_token_settings MENUTOOLS_SIGN_${setting})
    endif()
  endif()
endforeach()
if(NOT sign_pkcs12_settings AND NOT sign_token_settings)
  set(MENUTOOLS_SIGN OFF)
  file(REMOVE ${MENUTOOLS_SIGN_SETTINGS})
  return()
endif()
if(sign_pkcs12_settings AND sign_token_settings)
  list(JOIN sign_token_settings ", " sign_token_settings)
  message(FATAL_ERROR "MENUTOOLS_SIGN_PKCS12 conflicts with ${sign_token_settings}: they name "
    "two ways of signing, a PKCS#12 file and a key on a token; set the settings of one way only "
    "(the others to empty)")
endif()
set(MENUTOOLS_SIGN ON)
set(MENUTOOLS_SIGN_WITH_TOKEN OFF)
if(sign_token_settings)
  set(MENUTOOLS_SIGN_WITH_TOKEN ON)
  foreach(setting PKCS11_MODULE PKCS11_KEY CERTIFICATE)
    if(NOT "MENUTOOLS_SIGN_${setting}" IN_LIST sign_token_settings)
      list(JOIN sign_token_settings ", " sign_token_settings)
      message(FATAL_ERROR "MENUTOOLS_SIGN_${setting} is not set: signing with a key on a token "
        "(${sign_token_settings} given) needs MENUTOOLS_SIGN_PKCS11_MODULE, "
        "MENUTOOLS_SIGN_PKCS11_KEY and MENUTOOLS_SIGN_CERTIFICATE")
    endif()
  endforeach()
endif()

find_program(OSSLSIGNCODE_EXECUTABLE osslsigncode)
if(NOT OSSLSIGNCODE_EXECUTABLE)
  message(FATAL_ERROR "osslsigncode not found: the build is asked to sign the programs, "
    "and they are signed with it. Install Debian's package osslsigncode, "
    "or set OSSLSIGNCODE_EXECUTABLE.")
endif()
find_program(OPENSSL_EXECUTABLE openssl)
if(NOT OPENSSL_EXECUTABLE)
  message(FATAL_ERROR "openssl not found: the signing settings are checked with it before the "
    "build. Install Debian's package openssl, or set OPENSSL_EXECUTABLE.")
endif()

# Fails the configure unless <setting> names a file that exists.
function(menutools_sign_require_file setting)
  if("${${setting}}" STREQUAL "")
    message(FATAL_ERROR "${setting} is not set: ${ARGN}")
  endif()
  if(NOT EXISTS "${${setting}}" OR IS_DIRECTORY "${${setting}}")
    message(FATAL_ERROR "${setting}: ${${setting}}: no such file")
  endif()
endfunction()

file(MAKE_DIRECTORY ${MENUTOOLS_SIGN_DIR})
set(sign_password_file "${MENUTOOLS_SIGN_PASSWORD_FILE}")
if(MENUTOOLS_SIGN_WITH_TOKEN)
  set(sign_module "${MENUTOOLS_SIGN_PKCS11_MODULE}")
  set(sign_key "${MENUTOOLS_SIGN_PKCS11_KEY}")
  set(sign_certificate "${MENUTOOLS_SIGN_CERTIFICATE}")
  set(sign_certificate_setting MENUTOOLS_SIGN_CERTIFICATE)
  set(sign_source "${sign_certificate}")
  menutools_sign_require_file(MENUTOOLS_SIGN_PKCS11_MODULE)
  menutools_sign_require_file(MENUTOOLS_SIGN_CERTIFICATE)
  menutools_sign_require_file(MENUTOOLS_SIGN_PASSWORD_FILE
    "name the file that holds the PIN of the token that holds ${sign_key}")
  # The PIN comes from the password file alone, never from the cache.
  if(NOT sign_key MATCHES "^pkcs11:")
    message(FATAL_ERROR "MENUTOOLS_SIGN_PKCS11_KEY: ${sign_key}: not a pkcs11: URI "
      "(such as pkcs11:token=NAME;object=LABEL;type=private)")
  endif()
  if(sign_key MATCHES "[:;?&]pin-(value|source)=")
    message(FATAL_ERROR "MENUTOOLS_SIGN_PKCS11_KEY holds a PIN (pin-${CMAKE_MATCH_1}): take it "
      "out of the URI and put the PIN alone into the file MENUTOOLS_SIGN_PASSWORD_FILE names")
  endif()
  # osslsigncode reaches the module through OpenSSL's pkcs11 engine; the
  # module is loaded once here without logging in, as the signing steps will.
  execute_process(COMMAND ${OPENSSL_EXECUTABLE} engine pkcs11 -t
    RESULT_VARIABLE sign_result OUTPUT_VARIABLE sign_details ERROR_VARIABLE sign_error)
  if(NOT sign_result EQUAL 0 OR NOT sign_details MATCHES "\\[ available \\]")
    message(FATAL_ERROR "OpenSSL's pkcs11 engine is missing: MENUTOOLS_SIGN_PKCS11_MODULE is "
      "used through it. Install Debian's package libengine-pkcs11-openssl.\n${sign_error}")
  endif()
  find_program(PKCS11_TOOL_EXECUTABLE pkcs11-tool)
  if(NOT PKCS11_TOOL_EXECUTABLE)
    message(FATAL_ERROR "pkcs11-tool not found: MENUTOOLS_SIGN_PKCS11_MODULE is checked with it "
      "before the build. Install Debian's package opensc, or set PKCS11_TOOL_EXECUTABLE.")
  endif()
  execute_process(COMMAND ${PKCS11_TOOL_EXECUTABLE} --module ${sign_module} --list-slots
    RESULT_VARIABLE sign_result OUTPUT_VARIABLE sign_details ERROR_VARIABLE sign_error)
  if(NOT sign_result EQUAL 0)
    message(FATAL_ERROR "MENUTOOLS_SIGN_PKCS11_MODULE: ${sign_module}: does not load as a "
      "PKCS#11 module:\n${sign_error}")
  endif()
else()
  set(sign_pkcs12 "${MENUTOOLS_SIGN_PKCS12}")
  set(sign_certificate_setting MENUTOOLS_SIGN_PKCS12)
  set(sign_source "${sign_pkcs12}")
  menutools_sign_require_file(MENUTOOLS_SIGN_PKCS12)
  menutools_sign_require_file(MENUTOOLS_SIGN_PASSWORD_FILE
    "name the file that holds the password of ${sign_pkcs12}")
  # The certificate that goes with the key, as openssl reads it with the
  # password. Files made by older tools may use ciphers that OpenSSL 3 keeps
  # in its legacy provider, which osslsigncode loads by itself; so does the
  # second try.
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
endif()

# The signer's certificate (the first in a chain) must be meant for code
# signing; signatures made with another do not verify.
execute_process(COMMAND ${OPENSSL_EXECUTABLE} x509 -in ${sign_certificate} -noout
    -subject -nameopt compat -ext extendedKeyUsage
  RESULT_VARIABLE sign_result OUTPUT_VARIABLE sign_details ERROR_VARIABLE sign_error)
if(NOT sign_result EQUAL 0 OR NOT sign_details MATCHES "subject=([^\n]*)")
  message(FATAL_ERROR "${sign_certificate_setting}: ${sign_source} holds no certificate "
    "that openssl can read:\n${sign_error}")
endif()
set(MENUTOOLS_SIGN_SUBJECT "${CMAKE_MATCH_1}")
set(sign_usages "none given")
if(sign_details MATCHES "Extended Key Usage:[^\n]*\n *([^\n]*)")
  set(sign_usages "${CMAKE_MATCH_1}")
endif()
string(REPLACE ", " ";" sign_usage_list "${sign_usages}")
if(NOT "Code Signing" IN_LIST sign_usage_list)
  message(FATAL_ERROR "${sign_certificate_setting}: ${sign_source}: its certificate "
    "${MENUTOOLS_SIGN_SUBJECT} is not meant for code signing (extended key usage: "
    "${sign_usages}); signatures made with it do not verify. Use a certificate with the "
    "extended key usage codeSigning.")
endif()
if(MENUTOOLS_SIGN_WITH_TOKEN)
  message(STATUS "Signing the programs and the sample installers as ${MENUTOOLS_SIGN_SUBJECT} "
    "with ${sign_key}")
else()
  message(STATUS "Signing the programs and the sample installers as ${MENUTOOLS_SIGN_SUBJECT}")
endif()

# What the signing steps read at build time: paths and the key's URI, never
# the password or PIN.
# A change of settings reaches every signature, and the programs of an earlier
# build (unsigned ones above all) leave the output folder at once: the build
# puts them back signed.
set(sign_settings "# Written by cmake/signing.cmake: what cmake/sign_file.cmake signs with.
set(OSSLSIGNCODE [==[${OSSLSIGNCODE_EXECUTABLE}]==])
set(PKCS12 [==[${sign_pkcs12}]==])
set(PKCS11_MODULE [==[${sign_module}]==])
set(PKCS11_KEY [==[${sign_key}]==])
set(CERTIFICATE [==[${sign_certificate}]==])
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
set(MENUTOOLS_SIGN_DEPENDS ${MENUTOOLS_SIGN_SETTINGS} ${sign_source} ${sign_password_file})

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
# <signed_var> to the signed program. It is linked again when the PKCS#12 file
# or the certificate, the password file or the settings change; a failed signing leaves no program in the
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
