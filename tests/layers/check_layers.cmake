# cmake -DBUILD_DIR=<build tree> -P check_layers.cmake
# Builds the two probes of this folder: the one with the public face must
# compile, the one with an internal engine header must fail because the
# header is not found (not for any other reason).
function(build_probe target outRc outText)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${target}
    RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE text)
  set(${outRc} ${rc} PARENT_SCOPE)
  set(${outText} "${text}" PARENT_SCOPE)
endfunction()

build_probe(layers_public_face rc text)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "a file including only the engine's public face does not compile:\n${text}")
endif()

build_probe(layers_engine_internal rc text)
if(rc EQUAL 0)
  message(FATAL_ERROR "an internal engine header was included from outside the engine")
endif()
if(NOT text MATCHES "engine/index_file\\.h: No such file or directory")
  message(FATAL_ERROR "the internal include failed, but not for want of the header:\n${text}")
endif()
message(STATUS "public face compiles; engine/index_file.h is out of reach")
