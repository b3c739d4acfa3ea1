cmake_minimum_required(VERSION 3.25)
# cmake -DOBJDUMP=... -DBINARY=... -DFORMAT=pei-i386 -P check_imports.cmake
# Fails unless BINARY is a PE of FORMAT whose imports are all the system's own
# DLLs: statically linked, it must run on a bare Windows.
set(allowed kernel32.dll user32.dll gdi32.dll advapi32.dll ws2_32.dll comctl32.dll msvcrt.dll
            shell32.dll ole32.dll setupapi.dll)
execute_process(COMMAND ${OBJDUMP} -p ${BINARY} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${BINARY} failed")
endif()
if(NOT dump MATCHES "file format ${FORMAT}")
  message(FATAL_ERROR "${BINARY} is not a ${FORMAT} executable")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  list(APPEND imported ${dll})
  if(NOT dll IN_LIST allowed)
    message(FATAL_ERROR "${BINARY} imports ${dll}, which Windows does not ship")
  endif()
endforeach()
message(STATUS "${BINARY}: ${imported}")
