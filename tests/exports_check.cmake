# Checks the shared client library's dynamic symbol table: its SONAME carries
# the ABI's major version, it exports every function that the public headers
# declare, and nothing else (no vdc_* helper, no vd_* peer lookup, no symbol of
# the toolchain).
#   cmake -DLIBRARY=<libvandrel-client.so> -DSONAME=<name> -DHEADERS=<h;h>
#         -DNM=<nm> -DREADELF=<readelf> -P tests/exports_check.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND "${READELF}" -d "${LIBRARY}" RESULT_VARIABLE rc OUTPUT_VARIABLE dynamic)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf -d ${LIBRARY} failed (${rc})")
endif()
if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[${SONAME}\\]")
  message(FATAL_ERROR "the SONAME of ${LIBRARY} is not ${SONAME}:\n${dynamic}")
endif()

# The defined dynamic symbols, one "ADDRESS TYPE NAME" line each.
execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE listing)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm -D ${LIBRARY} failed (${rc})")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  list(APPEND exported "${name}")
endforeach()

# The functions the headers declare: a vandrel_ name before an opening
# parenthesis, at the start of a declaration line or after the return type.
set(declared "")
foreach(header IN LISTS HEADERS)
  file(READ "${header}" text)
  string(REGEX MATCHALL "[ *]vandrel_[a-z_]+\\(" found "${text}")
  foreach(f IN LISTS found)
    string(REGEX REPLACE "^[ *](vandrel_[a-z_]+)\\($" "\\1" f "${f}")
    list(APPEND declared "${f}")
  endforeach()
endforeach()
list(REMOVE_DUPLICATES declared)

set(failures "")
foreach(name IN LISTS exported)
  if(NOT name IN_LIST declared)
    string(APPEND failures "exported but not public: ${name}\n")
  endif()
endforeach()
foreach(name IN LISTS declared)
  if(NOT name IN_LIST exported)
    string(APPEND failures "public but not exported: ${name}\n")
  endif()
endforeach()
list(LENGTH declared count)
if(count LESS 10)
  string(APPEND failures "only ${count} functions found in the headers: ${declared}\n")
endif()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "${LIBRARY}: ${SONAME}, ${count} public functions exported and nothing else")
