cmake_minimum_required(VERSION 3.25)
# Every target sees the whole tree, so the layering holds only if something
# reads the includes: a folder may include its own files and the folders (or
# single headers) of its row; only files in platform/ named after their system
# (_linux, _posix, _win, _qt, win32.h) may include more than the C++ library or
# ask which system they are built for. cmake -DROOT=<source tree> -P check_layers.cmake
set(rows
    "serial: platform/sys platform/comm platform/ui/window.h"
    "bridge: platform/sys platform/net platform/ui/window.h serial"
    "app: serial bridge platform/comm platform/ui res"
    "res:"
    "platform/sys:"
    "platform/comm: platform/sys"
    "platform/net: platform/sys"
    "platform/ui: platform/sys res"
    "platform/ui/qt: platform/ui"
    "platform/ui/win32: platform/sys platform/ui res")
foreach(row IN LISTS rows)
  string(REGEX MATCH "^([^:]+):(.*)$" _ "${row}")
  set(folder ${CMAKE_MATCH_1})
  string(REGEX REPLACE " +" ";" may "${CMAKE_MATCH_2}")
  set(may_${folder} ${folder} ${may})
endforeach()

file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/app/* ${ROOT}/bridge/* ${ROOT}/serial/*
     ${ROOT}/res/* ${ROOT}/platform/*)
list(FILTER files INCLUDE REGEX "\\.(h|cpp)$")
set(faults "")
foreach(file IN LISTS files)
  get_filename_component(folder ${file} DIRECTORY)
  get_filename_component(stem ${file} NAME_WE)
  if(NOT DEFINED may_${folder})
    list(APPEND faults "${file}: its folder has no row")
    continue()
  endif()
  set(system_file OFF)
  if(folder MATCHES "^platform/" AND stem MATCHES "_(linux|posix|win|qt)$|^win32$")
    set(system_file ON)
  endif()
  file(STRINGS ${ROOT}/${file} lines REGEX "^[ \t]*#[ \t]*(include|if)")
  foreach(line IN LISTS lines)
    if(line MATCHES "include[ \t]*\"([^\"]+)\"")
      set(header ${CMAKE_MATCH_1})
      get_filename_component(from ${header} DIRECTORY)
      if(NOT from IN_LIST may_${folder} AND NOT header IN_LIST may_${folder})
        list(APPEND faults "${file}: ${header} is not in its row")
      endif()
    elseif(NOT system_file AND (line MATCHES "include[ \t]*<[a-z_]*[^a-z_>]"
                                OR line MATCHES "(_WIN32|__linux__|__unix__|__APPLE__)([^A-Z_]|$)"))
      list(APPEND faults "${file}: ${line}: only a platform file of its system may")
    endif()
  endforeach()
endforeach()
list(LENGTH files count)
if(faults OR count EQUAL 0)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "${count} files read; outside their layer:\n  ${text}")
endif()
message(STATUS "${count} files read: every include within its layer")
