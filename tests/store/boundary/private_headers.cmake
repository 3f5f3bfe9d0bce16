# Each probe includes one private header of the store from a target that links the store: its build
# must fail, and for that header being out of reach, not for anything else.
#   cmake -DBUILD=<build tree> -P private_headers.cmake
cmake_policy(VERSION 3.25)
foreach(pair "calls;handles" "database;database")
  list(GET pair 0 probe)
  list(GET pair 1 header)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target store_${probe}_probe
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(status EQUAL 0)
    message(FATAL_ERROR "${header}.h, private to the store, compiled in a target outside it")
  endif()
  if(NOT out MATCHES "${header}\\.h['\"]?:? (No such file or directory|file not found)"
     AND NOT out MATCHES "'${header}\\.h' file not found")
    message(FATAL_ERROR "store_${probe}_probe failed for another reason than ${header}.h out of reach:\n${out}")
  endif()
endforeach()
