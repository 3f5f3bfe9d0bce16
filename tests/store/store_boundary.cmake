# What the build cannot refuse: SQLite's header lies where every compiler looks, so outside
# store/database/ no file includes it (but the tests and the one measure that writes through SQLite
# alone); and the store's calls include only the database's headers that are theirs (the names
# below), none of which includes SQLite's. That nothing else reaches the store's private headers at
# all, the build holds (private_headers.cmake).
#   cmake -DROOT=<source tree> -P store_boundary.cmake
cmake_policy(VERSION 3.25)
set(for_calls database transactions keys values read_cache schema failure)
file(GLOB_RECURSE sources RELATIVE ${ROOT} ${ROOT}/*.cpp ${ROOT}/*.h)
file(GLOB database_headers RELATIVE ${ROOT}/store/database ${ROOT}/store/database/*.h)
set(faults "")
foreach(source IN LISTS sources)
  if(source MATCHES "^(build|store/database|tests)/")
    continue()
  endif()
  file(STRINGS ${ROOT}/${source} includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    if(line MATCHES "[<\"]sqlite3\\.h[>\"]" AND NOT source STREQUAL "bench/registry_bench.cpp")
      list(APPEND faults "${source}: ${line}")
    elseif(source MATCHES "^store/calls/" AND line MATCHES "\"([A-Za-z0-9_]+)\\.h\"")
      set(name ${CMAKE_MATCH_1})
      if("${name}.h" IN_LIST database_headers AND NOT name IN_LIST for_calls)
        list(APPEND faults "${source}: ${line}")
      endif()
    endif()
  endforeach()
endforeach()
if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "SQLite's header outside the store's database, or a database header the calls may not use:\n  ${text}")
endif()
