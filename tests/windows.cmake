# The Windows build's suites: everything that runs without a pseudo-terminal,
# and the kernel32 serial port, which the Wine stage gives a COM port whose far
# end is the counter simulator (KESTRAN_TEST_COM names it) and one that a handle
# can hold (KESTRAN_TEST_HELD_COM); without them the line tests skip, except
# under Wine (KESTRAN_UNDER_WINE), where they fail.
function(kestran_add_windows_test area name)
  string(REPLACE "/" "_" prefix ${area})
  set(target ${prefix}_${name})
  add_executable(${target} ${CMAKE_CURRENT_SOURCE_DIR}/${area}/${name}.cpp)
  target_link_libraries(${target} PRIVATE Qt6::Test ${ARGN})
  add_test(NAME ${area}/${name}
           COMMAND ${CMAKE_COMMAND} -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR} -DEXE=$<TARGET_FILE:${target}>
                   -DLOG=${CMAKE_CURRENT_BINARY_DIR}/${target}.log -P ${CMAKE_CURRENT_SOURCE_DIR}/run-windows-test.cmake)
  set_tests_properties(${area}/${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 120)
endfunction()

kestran_add_windows_test(protocol tst_decoder kestran_protocol)
kestran_add_windows_test(protocol tst_frames kestran_protocol)
kestran_add_windows_test(protocol tst_values kestran_protocol)
kestran_add_windows_test(client tst_values kestran_client)
kestran_add_windows_test(client tst_plant kestran_client)
kestran_add_windows_test(ui tst_controls kestran_core)
kestran_add_windows_test(ui tst_layout kestran_core)
kestran_add_windows_test(serial/net tst_telnet kestran_serial)
kestran_add_windows_test(serial/local tst_winport kestran_serial kestran_protocol)
kestran_add_windows_test(cli tst_fileidentity Qt6::Core)
target_sources(cli_tst_fileidentity PRIVATE ${PROJECT_SOURCE_DIR}/src/cli/fileidentity.cpp
  ${PROJECT_SOURCE_DIR}/src/cli/fileidentity_win.cpp)
target_include_directories(cli_tst_fileidentity PRIVATE ${PROJECT_SOURCE_DIR}/src/cli)
