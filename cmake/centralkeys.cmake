# Built-in keys and endpoints of the scheme's central servers.
#
# ZMR_CENTRAL_KEYS_DIR names a directory holding, per environment N (1
# development, 2 test lab, 3 pre-production, 4 production):
#   envN.pem       the RSA public key (PEM "PUBLIC KEY") of the Rirorer Idor
#                  Azoriva and the services host of that environment; it
#                  must be RSA-2048 with exponent 65537, else configuring
#                  fails;
#   envN.coi.pem   the COI public key of that environment, to which the
#                  hashes and signatures of multi-document signing are
#                  encrypted; the same kind of key;
#   endpoints.txt  lines "N server host" with server one of sdm, services,
#                  mgmfe, mgmfeutil ("#" starts a comment).
# An environment without a key or an endpoint has none built in, and the
# library refuses to talk to that server there (it fails closed).
#
# Left empty, a development set is made in the build tree: fresh keys and
# COI keys for environments 1 and 2 (their private halves, envN.key.pem and
# envN.coi.key.pem, serve the test stand-ins and clients), endpoints under
# ".invalid" for them, nothing for 3 and 4.
# Production values come from the scheme operator.
#
# The result is the generated file centralkeys.inc, compiled into
# src/misc/centralservers.cpp. Include this file once after the
# library's object target zmr_obj is defined (or earlier: it then attaches
# itself at the end of the directory).
include_guard(GLOBAL)

set(ZMR_CENTRAL_KEYS_DIR "" CACHE PATH
  "Directory of envN.pem central-server public keys and endpoints.txt; empty: a development set")

find_program(ZMR_OPENSSL_EXECUTABLE openssl REQUIRED)

set(ZMR_CENTRAL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set(ZMR_CENTRAL_DEV_DIR ${CMAKE_BINARY_DIR}/centralkeys)

function(zmr_central_openssl outvar)
  execute_process(COMMAND ${ZMR_OPENSSL_EXECUTABLE} ${ARGN}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "central keys: openssl ${ARGN} failed: ${err}")
  endif()
  set(${outvar} "${out}" PARENT_SCOPE)
endfunction()

# The development set, made once per build tree.
function(zmr_central_devset dir)
  file(MAKE_DIRECTORY ${dir})
  foreach(env 1 2)
    foreach(name env${env} env${env}.coi)
      if(NOT EXISTS ${dir}/${name}.pem)
        zmr_central_openssl(ignored genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048
          -pkeyopt rsa_keygen_pubexp:65537 -out ${dir}/${name}.key.pem)
        zmr_central_openssl(ignored pkey -in ${dir}/${name}.key.pem -pubout -out ${dir}/${name}.pem)
      endif()
    endforeach()
  endforeach()
  file(WRITE ${dir}/endpoints.txt
    "# Development endpoints: nothing answers there; set the URL properties\n"
    "# (initsessiondns, servicehostdns, mgmfedns, mgmfeutildns) instead.\n"
    "1 sdm sdm.devlab.zelmor.invalid\n"
    "1 services services.devlab.zelmor.invalid\n"
    "1 mgmfe mobile.devlab.zelmor.invalid\n"
    "1 mgmfeutil mobile.devlab.zelmor.invalid\n"
    "2 sdm sdm.testlab.zelmor.invalid\n"
    "2 services services.testlab.zelmor.invalid\n"
    "2 mgmfe mobile.testlab.zelmor.invalid\n"
    "2 mgmfeutil mobile.testlab.zelmor.invalid\n")
endfunction()

# The modulus of one key file as 512 upper-case hexadecimal digits; fails
# for any key that is not RSA-2048 with exponent 65537.
function(zmr_central_modulus file outvar)
  zmr_central_openssl(text pkey -pubin -in ${file} -noout -text)
  if(NOT text MATCHES "Public-Key: \\(2048 bit\\)" OR NOT text MATCHES "Modulus:"
     OR NOT text MATCHES "Exponent: 65537 \\(0x10001\\)")
    message(FATAL_ERROR "central keys: ${file} is not an RSA-2048 public key with exponent 65537")
  endif()
  zmr_central_openssl(out rsa -pubin -in ${file} -noout -modulus)
  string(STRIP "${out}" out)
  if(NOT out MATCHES "^Modulus=([0-9A-F]+)$")
    message(FATAL_ERROR "central keys: cannot read the modulus of ${file}")
  endif()
  set(hex ${CMAKE_MATCH_1})
  string(LENGTH "${hex}" length)
  if(NOT length EQUAL 512)
    message(FATAL_ERROR "central keys: the modulus of ${file} is not 2048 bits")
  endif()
  set(${outvar} ${hex} PARENT_SCOPE)
endfunction()

function(zmr_central_generate)
  if(ZMR_CENTRAL_KEYS_DIR)
    set(dir ${ZMR_CENTRAL_KEYS_DIR})
    if(NOT IS_DIRECTORY ${dir})
      message(FATAL_ERROR "central keys: ZMR_CENTRAL_KEYS_DIR ${dir} is not a directory")
    endif()
  else()
    set(dir ${ZMR_CENTRAL_DEV_DIR})
    zmr_central_devset(${dir})
  endif()

  foreach(env 1 2 3 4)
    set(modulus_${env} "")
    set(coimodulus_${env} "")
    foreach(server sdm services mgmfe mgmfeutil)
      set(host_${env}_${server} "")
    endforeach()
    if(EXISTS ${dir}/env${env}.pem)
      zmr_central_modulus(${dir}/env${env}.pem modulus_${env})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${dir}/env${env}.pem)
    endif()
    if(EXISTS ${dir}/env${env}.coi.pem)
      zmr_central_modulus(${dir}/env${env}.coi.pem coimodulus_${env})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${dir}/env${env}.coi.pem)
    endif()
  endforeach()

  if(EXISTS ${dir}/endpoints.txt)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${dir}/endpoints.txt)
    file(STRINGS ${dir}/endpoints.txt lines)
    foreach(line IN LISTS lines)
      string(STRIP "${line}" line)
      if(line STREQUAL "" OR line MATCHES "^#")
        continue()
      endif()
      if(NOT line MATCHES "^([1-4])[ \t]+(sdm|services|mgmfe|mgmfeutil)[ \t]+([A-Za-z0-9.-]+(:[0-9]+)?)$")
        message(FATAL_ERROR "central keys: bad line in ${dir}/endpoints.txt: ${line}")
      endif()
      set(host_${CMAKE_MATCH_1}_${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
    endforeach()
  endif()

  set(content "// Generated by cmake/centralkeys.cmake from ${dir}; do not edit.\n")
  foreach(env 1 2 3 4)
    set(row "{${env}")
    foreach(key modulus coimodulus)
      if(${key}_${env})
        string(APPEND row ", \"${${key}_${env}}\"")
      else()
        string(APPEND row ", nullptr")
      endif()
    endforeach()
    foreach(server sdm services mgmfe mgmfeutil)
      if(host_${env}_${server})
        string(APPEND row ", \"${host_${env}_${server}}\"")
      else()
        string(APPEND row ", nullptr")
      endif()
    endforeach()
    string(APPEND content "${row}},\n")
  endforeach()
  file(MAKE_DIRECTORY ${ZMR_CENTRAL_GENERATED_DIR})
  # Written only when it changes, so a reconfigure rebuilds nothing.
  file(CONFIGURE OUTPUT ${ZMR_CENTRAL_GENERATED_DIR}/centralkeys.inc CONTENT "${content}" @ONLY)
  # Where the tests find the private halves of the development set.
  if(NOT ZMR_CENTRAL_KEYS_DIR)
    set(ZMR_CENTRAL_PRIVATE_DIR ${ZMR_CENTRAL_DEV_DIR} CACHE INTERNAL "")
  else()
    set(ZMR_CENTRAL_PRIVATE_DIR "" CACHE INTERNAL "")
  endif()
endfunction()

function(zmr_central_attach)
  if(NOT TARGET zmr_obj)  # a project of the table alone (its own tests)
    return()
  endif()
  target_include_directories(zmr_obj PRIVATE ${ZMR_CENTRAL_GENERATED_DIR})
  target_compile_definitions(zmr_obj PRIVATE ZMR_HAVE_CENTRAL_KEYS=1)
endfunction()

zmr_central_generate()
if(TARGET zmr_obj)
  zmr_central_attach()
else()
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL zmr_central_attach)
endif()
