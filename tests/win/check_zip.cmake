# Makes the Windows ZIP with CPack and checks what a user unpacks: the program
# and its README, in one folder, and nothing else.
#   cmake -DCPACK=<cpack> -DBUILD=<build tree> -P check_zip.cmake
include(${BUILD}/CPackConfig.cmake)
set(NAME ${CPACK_PACKAGE_FILE_NAME})
set(out ${BUILD}/package-check)
file(REMOVE_RECURSE ${out})
execute_process(COMMAND ${CPACK} -G ZIP -B ${out} --config ${BUILD}/CPackConfig.cmake
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${log}")
endif()
set(zip ${out}/${NAME}.zip)
if(NOT EXISTS ${zip})
  message(FATAL_ERROR "no ${NAME}.zip in ${out}:\n${log}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing
                RESULT_VARIABLE status)
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" entries "${listing}")
list(FILTER entries EXCLUDE REGEX "/$")  # folders
list(SORT entries)
set(expected ${NAME}/Plinkor.exe ${NAME}/README-windows.txt)
if(NOT entries STREQUAL expected)
  message(FATAL_ERROR "the ZIP holds [${entries}], not [${expected}]")
endif()
file(MAKE_DIRECTORY ${out}/unpacked)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${out}/unpacked)
file(SHA256 ${out}/unpacked/${NAME}/Plinkor.exe packed)
file(SHA256 ${BUILD}/app/Plinkor.exe built)
if(NOT packed STREQUAL built)
  message(FATAL_ERROR "the ZIP's Plinkor.exe is not the one just built")
endif()
message(STATUS "${NAME}.zip: ${entries}")
