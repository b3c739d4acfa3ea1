# Makes the Windows ZIP with CPack and checks what a user unpacks: the program
# and its README, in one folder, and nothing else.
#   cmake -DCPACK=<cpack> -DBUILD=<build tree> [-DRESOURCE_CHECK=<check program>] -P check_zip.cmake
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
# The packed program is the one just built, without its debugging symbols: its
# resources must have come through the stripping whole.
file(MAKE_DIRECTORY ${out}/unpacked)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${out}/unpacked)
set(packed ${out}/unpacked/${NAME}/Plinkor.exe)
file(SIZE ${packed} packed_size)
file(SIZE ${BUILD}/app/Plinkor.exe built_size)
if(packed_size GREATER built_size OR packed_size LESS 100000)
  message(FATAL_ERROR "the ZIP's Plinkor.exe has ${packed_size} bytes, the build's ${built_size}")
endif()
if(RESOURCE_CHECK)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PLINKOR_RESOURCE_EXE=${packed} ${RESOURCE_CHECK}
                          --gtest_brief=1 RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the resources of the ZIP's Plinkor.exe do not hold")
  endif()
endif()
message(STATUS "${NAME}.zip: ${entries}")
