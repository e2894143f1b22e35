# Writes a CTest file with one test per GoogleTest suite of a test executable:
# each suite runs in a process of its own (as the runtime is initialised once
# per process), and a few hundred processes start in place of one per test.
#   cmake -DEXE=<test executable> -DOUT=<file to write> -DKRO_EXE=<kro> -P gtest_suites.cmake
execute_process(COMMAND "${EXE}" --gtest_list_tests
                OUTPUT_VARIABLE listing RESULT_VARIABLE status TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "listing the tests of ${EXE} failed (${status})")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(content "")
foreach(line IN LISTS lines)
  # a suite's line is not indented: "Suite." (tests follow, indented)
  if(line MATCHES "^([A-Za-z_][A-Za-z0-9_/]*)\\.")
    set(suite "${CMAKE_MATCH_1}")
    string(APPEND content
      "add_test([=[unit.${suite}]=] [=[${EXE}]=] [=[--gtest_filter=${suite}.*]=])\n"
      "set_tests_properties([=[unit.${suite}]=] PROPERTIES ENVIRONMENT [=[KRO_EXE=${KRO_EXE}]=])\n")
  endif()
endforeach()
if(content STREQUAL "")
  message(FATAL_ERROR "no test suites found in ${EXE}")
endif()
file(WRITE "${OUT}" "${content}")
