# Writes OUTPUT, a file of CTest commands with one test per case that the
# program of CONFIG's LIST_COMMAND lists with --gtest_list_tests; run by the
# build (see test_cases.cmake).
include(${CONFIG})

execute_process(COMMAND ${LIST_COMMAND} --gtest_list_tests
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Listing the cases of ${PREFIX} failed (${status}):\n"
                      "${LIST_COMMAND} --gtest_list_tests\n${listing}${errors}")
endif()

# Suites start a line and end with '.', their cases follow indented; either
# may carry a comment ("  # GetParam() = ..."). Anything else (a line the
# program prints before the listing) is not part of it.
set(skip "[==[\\[  SKIPPED \\]]==]")
set(vanished "[==[\\] 0 tests from 0 test suites ran]==]")
string(REPLACE "\r" "" listing "${listing}")
string(REPLACE ";" "," listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(suite "")
set(text "")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^([A-Za-z0-9_/]+)\\.(  #.*)?$")
    set(suite "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^  ([A-Za-z0-9_/]+)(  #.*)?$" AND NOT suite STREQUAL "")
    set(case "${CMAKE_MATCH_1}")
    if(case MATCHES "^DISABLED_" OR suite MATCHES "(^|/)DISABLED_")
      continue()
    endif()
    set(name "${PREFIX}.${suite}.${case}")
    string(APPEND text
      "add_test([==[${name}]==]${RUN_TEXT} [==[--gtest_filter=${suite}.${case}]==])\n"
      "set_tests_properties([==[${name}]==] PROPERTIES SKIP_REGULAR_EXPRESSION ${skip} "
      "FAIL_REGULAR_EXPRESSION ${vanished}${PROPERTIES_TEXT})\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${LIST_COMMAND} --gtest_list_tests listed no case:\n${listing}")
endif()

file(WRITE ${OUTPUT} "${text}")
