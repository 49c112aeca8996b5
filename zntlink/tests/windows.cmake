# The Windows build's own tests: the DLL's export table, and programs under
# Wine on a real line.

# The export table, the imports and the version resource of zntlink.dll.
add_test(NAME zntlink_dll_exports
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_dll_exports.sh $<TARGET_FILE:zntlink>
                 ${PROJECT_SOURCE_DIR}/zntlink/include/zntlink.h
                 ${PROJECT_SOURCE_DIR}/zntlink/zntlink.def ${CMAKE_OBJDUMP})
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The 64-bit build has no stdcall names and no 32-bit ordinals to hold to.
  set_tests_properties(zntlink_dll_exports PROPERTIES DISABLED TRUE)
endif()

# Tests on a real line: a Windows program under Wine against the receiver
# simulator on a pseudo-terminal that Wine maps as COM9. The simulator is the
# Linux program, built in the Linux build; TESSAR_RECEIVER_SIMULATOR names it.
set(TESSAR_RECEIVER_SIMULATOR "" CACHE FILEPATH "the Linux build's znt_receiver_sim")
function(zntlink_wine_line_test name dll)
  if(TESSAR_RECEIVER_SIMULATOR)
    add_test(NAME ${name}
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine_receiver_port.sh
                     ${CMAKE_CROSSCOMPILING_EMULATOR} ${TESSAR_RECEIVER_SIMULATOR} ${ARGN} ${dll})
    set_tests_properties(${name} PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)
  endif()
endfunction()

# The Win32 port itself.
add_executable(win32_serial_port_test win32_serial_port_test.cpp)
target_link_libraries(win32_serial_port_test PRIVATE zntlink_platform zntlink_frame
                                                     GTest::gtest GTest::gtest_main)
target_link_options(win32_serial_port_test PRIVATE -static)
zntlink_wine_line_test(win32_serial_port_line - $<TARGET_FILE:win32_serial_port_test>)

# zntlink.dll loaded by a Windows program: every export by name and ordinal, a
# session with a stored message, requests, close and the log files.
add_executable(dll_wine_test dll_wine_test.cpp)
target_include_directories(dll_wine_test PRIVATE ${PROJECT_SOURCE_DIR}/zntlink/include)
target_link_libraries(dll_wine_test PRIVATE GTest::gtest GTest::gtest_main)
target_link_options(dll_wine_test PRIVATE -static)
add_dependencies(dll_wine_test zntlink)
zntlink_wine_line_test(zntlink_dll_wine_e2e $<TARGET_FILE:zntlink> $<TARGET_FILE:dll_wine_test>)
