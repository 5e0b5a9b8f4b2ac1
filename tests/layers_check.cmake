# Checks the arrows between the program's layers, as docs/architecture.md draws
# them, so that no change brings a cycle back. A file's folder is its layer; an
# include names the folder it reaches into ("base/log.hpp", "common/peer.h"),
# and a bare name is a file of the includer's own folder.
#   cmake -DSOURCE_DIR=<project> -P tests/layers_check.cmake

cmake_minimum_required(VERSION 3.25)

# Each layer's folder.
set(folder_wire include/vandrel)
set(folder_common common)
set(folder_base src/base)
set(folder_steam steam)
set(folder_standin steam/standin)
set(folder_shared src/shared)
set(folder_broker src/broker)
set(folder_child src/child)
set(folder_main src)
set(folder_client client)
set(folder_ticket ticket)
set(layers wire common base steam standin shared broker child main client ticket)

# What each layer may include besides its own folder. "wire" is
# vandrel/wire.h alone, below everything; "api" the client library's public
# headers; "flat" steam/flat.hpp alone, the stand-in's one link to the layer
# that loads it. The broker starts the child as a process and never includes
# it, nor Steam; the child never includes the broker.
set(may_wire "")
set(may_common wire)
set(may_base common wire)
set(may_steam base flat)
set(may_standin flat common)
set(may_shared base common wire)
set(may_broker shared base common wire)
set(may_child shared steam base common wire)
set(may_main broker child shared base common wire)
set(may_client api common wire)
set(may_ticket api common wire)

# Within the base, each module includes only those below it.
set(base result bytes addr fd text error log unicode_tables channel thread exit_status stop)
set(below_text result)
set(below_error result text)
set(below_log text)
set(below_unicode_tables text)
set(below_thread exit_status log)
set(below_stop result text error fd)

# The layer of an included path as written.
function(included_layer included out)
  if(included STREQUAL "vandrel/wire.h")
    set(layer wire)
  elseif(included MATCHES "^vandrel/")
    set(layer api)
  elseif(included STREQUAL "steam/flat.hpp")
    set(layer flat)
  elseif(included MATCHES "^steam/standin/[a-z0-9_]+\\.hpp$")
    set(layer standin)
  elseif(included MATCHES "^steam/[a-z0-9_]+\\.hpp$")
    set(layer steam)
  elseif(included MATCHES "^(common|base|shared|broker|child)/[a-z0-9_]+\\.(h|hpp)$")
    set(layer ${CMAKE_MATCH_1})
  else()
    set(layer unknown)
  endif()
  set(${out} ${layer} PARENT_SCOPE)
endfunction()

set(bad "")
set(count 0)
foreach(layer IN LISTS layers)
  set(dir ${folder_${layer}})
  file(GLOB files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${dir}/*.hpp ${SOURCE_DIR}/${dir}/*.cpp
    ${SOURCE_DIR}/${dir}/*.h ${SOURCE_DIR}/${dir}/*.c)
  if(NOT files AND NOT layer STREQUAL "wire")
    list(APPEND bad "${dir}/ holds no sources")
  endif()
  foreach(file IN LISTS files)
    math(EXPR count "${count} + 1")
    get_filename_component(stem ${file} NAME_WE)
    # Every base module is listed above, so that its arrows are checked.
    if(layer STREQUAL "base" AND NOT stem IN_LIST base)
      list(APPEND bad "${file} is not a listed base module")
    endif()
    file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^#include \"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
      get_filename_component(included_stem ${included} NAME_WE)
      if(NOT included MATCHES "/")
        # A file of the includer's own folder, which must be there.
        set(to ${layer})
        if(NOT EXISTS ${SOURCE_DIR}/${dir}/${included})
          set(to unknown)
        endif()
      else()
        included_layer(${included} to)
      endif()
      set(allowed FALSE)
      if(to STREQUAL layer)
        set(allowed TRUE)
        if(layer STREQUAL "base" AND NOT included_stem STREQUAL stem AND
           NOT included_stem IN_LIST below_${stem})
          set(allowed FALSE)
        endif()
      elseif(to IN_LIST may_${layer})
        set(allowed TRUE)
      endif()
      if(NOT allowed)
        list(APPEND bad "${file} includes \"${included}\"")
      endif()
    endforeach()
  endforeach()
endforeach()

if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "includes against the layers (docs/architecture.md):\n  ${text}")
endif()
message(STATUS "layers: ${count} files include only what their layer may")
