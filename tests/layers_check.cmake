# Checks the arrows between the program's layers, as docs/architecture.md draws
# them, so that no change brings a cycle back:
#   - the base modules (src/base/) include only the base modules below them;
#   - steam/ includes only itself and the base;
#   - the stand-in runtime includes only itself and steam/flat.hpp.
# The rest of src/ may include anything in src/ and steam/.
#   cmake -DSOURCE_DIR=<project> -P tests/layers_check.cmake

cmake_minimum_required(VERSION 3.25)

set(base result bytes addr fd text error log unicode_tables)
# What each base module may include besides its own header.
set(below_text result)
set(below_error result text)
set(below_log text)
set(below_unicode_tables text)

file(GLOB files RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/src/base/*.hpp ${SOURCE_DIR}/src/base/*.cpp
  ${SOURCE_DIR}/src/*.hpp ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.c
  ${SOURCE_DIR}/steam/*.hpp ${SOURCE_DIR}/steam/*.cpp
  ${SOURCE_DIR}/steam/standin/*.hpp ${SOURCE_DIR}/steam/standin/*.cpp)
if(NOT files)
  message(FATAL_ERROR "no sources under ${SOURCE_DIR}")
endif()

set(bad "")
foreach(file IN LISTS files)
  get_filename_component(dir ${file} DIRECTORY)
  get_filename_component(stem ${file} NAME_WE)
  # Every base module is listed above, so that its arrows are checked.
  if(dir STREQUAL "src/base" AND NOT stem IN_LIST base)
    list(APPEND bad "${file} is not a listed base module")
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^#include \"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
    get_filename_component(included_stem ${included} NAME_WE)
    set(allowed TRUE)
    if(included STREQUAL "vandrel/wire.h")
      # The wire's definition, C and below everything.
    elseif(dir STREQUAL "src/base")
      if(NOT included_stem IN_LIST base OR
         (NOT included_stem STREQUAL stem AND NOT included_stem IN_LIST below_${stem}))
        set(allowed FALSE)
      endif()
    elseif(dir STREQUAL "steam")
      if(NOT included MATCHES "^steam/[a-z_]+\\.hpp$" AND
         NOT (included MATCHES "^[a-z_]+\\.hpp$" AND included_stem IN_LIST base))
        set(allowed FALSE)
      endif()
    elseif(dir STREQUAL "steam/standin")
      if(NOT included MATCHES "^[a-z_]+\\.hpp$" AND NOT included STREQUAL "steam/flat.hpp")
        set(allowed FALSE)
      endif()
    endif()
    if(NOT allowed)
      list(APPEND bad "${file} includes \"${included}\"")
    endif()
  endforeach()
endforeach()

if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "includes against the layers (docs/architecture.md):\n  ${text}")
endif()
list(LENGTH files count)
message(STATUS "layers: ${count} files include only what their layer may")
