# Runs one Windows test program under the emulator (Wine) with its log in a
# file, then prints the log: Qt Test's standard output does not reach the
# terminal under Wine. Fails when the program does.
#   cmake -DEMULATOR=... -DEXE=... -DLOG=... -P run-windows-test.cmake
string(REPLACE "/" "\\" log_win "Z:${LOG}")
file(REMOVE "${LOG}")
execute_process(COMMAND ${EMULATOR} "${EXE}" -o "${log_win},txt" RESULT_VARIABLE rc)
if(EXISTS "${LOG}")
  file(READ "${LOG}" text)
  message("${text}")
else()
  message("(no log: the program did not start)")
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${EXE} ended with ${rc}")
endif()
