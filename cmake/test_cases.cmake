# One CTest test per GoogleTest case and build, named <prefix>.<Suite>.<Case>
# (e2e.windows64.RawCopy.SizesAndPlacement, unit.s390x.CopyRaw...), so that a
# red line names the behaviour and the build at once.
#
# A program that lists and runs its own cases is registered with
# gtest_discover_tests (TEST_PREFIX "<prefix>.", the build's arguments in
# EXTRA_ARGS, the cross build's emulator from CMAKE_CROSSCOMPILING_EMULATOR):
# the build lists the cases into a file CTest reads when it starts, so that
# `ctest -N` shows every case, and a case that reports itself skipped
# (GTEST_SKIP: a path this CPU lacks, a limit of the host) is skipped in CTest
# too. Every call passes the same two options, UNZRQ_DISCOVER_OPTIONS:
# parameter values stay out of the names (Suite.Case/0, as GoogleTest names
# the case), and listing may take a while under qemu on a busy machine.
#
# The one exception is the Windows unit tables: nothing runs an .exe while the
# build lists the cases, so the native build of the same sources lists them
# and the .exe runs them under wine:
#
#   unzrq_add_test_cases(<id>
#     PREFIX <unit.windows, ...>
#     LIST <command>...        prints the cases when given --gtest_list_tests
#     RUN <command>...         runs one case when given --gtest_filter=<Suite>.<Case>
#     [DEPENDS <target or file>...]   what LIST and RUN need built
#     [PROPERTIES <name> <value>...]) further test properties
#
# There a listed case that the program run no longer has fails. A call whose
# LIST and RUN start with the same program of this build (the documents
# check) is handed to gtest_discover_tests.

include(GoogleTest)

set(UNZRQ_DISCOVER_OPTIONS NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60)
set(UNZRQ_TEST_BUILD_NAME linux CACHE STRING
    "The build's name in the names of its tests (unit.<name>.<Suite>.<Case>); each cross build is given its own")
set(UNZRQ_LIST_TEST_CASES_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/list_test_cases.cmake)

# The tests that `script` (CTest script text) adds are registered only once
# `target` is built; before, one test <name> says to build first, so that
# `ctest -N` after a partial build (only unzrq, say) names no missing program.
function(unzrq_add_tests_when_built target name script)
  set(include_file ${CMAKE_CURRENT_BINARY_DIR}/test_cases/${name}.when_built.cmake)
  file(GENERATE OUTPUT ${include_file} CONTENT "\
if(EXISTS [==[$<TARGET_FILE:${target}>]==])
${script}else()
  add_test([==[${name}]==] [==[${CMAKE_COMMAND}]==] -E echo [==[Build first: ${target} is not built.]==])
  set_tests_properties([==[${name}]==] PROPERTIES WILL_FAIL TRUE)
endif()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()

# gtest_discover_tests, its cases registered only once the program is built
# (unzrq_add_tests_when_built): <TEST_PREFIX><target>.NOT_BUILT until then.
function(unzrq_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TEST_PREFIX" "")
  gtest_discover_tests(${target} ${ARGN})
  get_property(includes DIRECTORY PROPERTY TEST_INCLUDE_FILES)
  list(POP_BACK includes gtest_include)
  set_property(DIRECTORY PROPERTY TEST_INCLUDE_FILES ${includes})
  unzrq_add_tests_when_built(${target} ${arg_TEST_PREFIX}${target}.NOT_BUILT
                             "  include([==[${gtest_include}]==])\n")
endfunction()

function(unzrq_add_test_cases id)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PREFIX" "LIST;RUN;DEPENDS;PROPERTIES")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_PREFIX OR NOT arg_LIST OR NOT arg_RUN)
    message(FATAL_ERROR "unzrq_add_test_cases(${id}) needs PREFIX, LIST and RUN, and nothing else")
  endif()

  list(POP_FRONT arg_RUN run_program)
  if(arg_LIST STREQUAL run_program AND run_program MATCHES "^\\$<TARGET_FILE:([^>]+)>$")
    unzrq_discover_tests(${CMAKE_MATCH_1} TEST_PREFIX ${arg_PREFIX}. ${UNZRQ_DISCOVER_OPTIONS}
                         EXTRA_ARGS ${arg_RUN} PROPERTIES ${arg_PROPERTIES})
    return()
  endif()
  list(PREPEND arg_RUN ${run_program})

  # The lists reach the listing script as bracket arguments, so that an
  # argument holding ';' stays one argument.
  set(run_text "")
  foreach(argument IN LISTS arg_RUN)
    string(APPEND run_text " [==[${argument}]==]")
  endforeach()
  set(properties_text "")
  foreach(argument IN LISTS arg_PROPERTIES)
    string(APPEND properties_text " [==[${argument}]==]")
  endforeach()

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/test_cases)
  set(config ${dir}/${id}.config.cmake)
  set(cases ${dir}/${id}.cases.cmake)
  set(include_file ${dir}/${id}.include.cmake)
  file(GENERATE OUTPUT ${config} CONTENT "\
set(LIST_COMMAND [===[${arg_LIST}]===])
set(PREFIX [===[${arg_PREFIX}]===])
set(RUN_TEXT [===[${run_text}]===])
set(PROPERTIES_TEXT [===[${properties_text}]===])
")
  add_custom_command(
    OUTPUT ${cases}
    COMMAND ${CMAKE_COMMAND} -DCONFIG=${config} -DOUTPUT=${cases}
            -P ${UNZRQ_LIST_TEST_CASES_SCRIPT}
    DEPENDS ${arg_DEPENDS} ${config} ${UNZRQ_LIST_TEST_CASES_SCRIPT}
    COMMENT "Listing the cases of ${arg_PREFIX}"
    VERBATIM)
  add_custom_target(${id}_cases ALL DEPENDS ${cases})
  # Before the first build there is nothing to list: one test says so.
  file(WRITE ${include_file} "\
if(EXISTS [==[${cases}]==])
  include([==[${cases}]==])
else()
  add_test([==[${arg_PREFIX}.NOT_BUILT]==] [==[${CMAKE_COMMAND}]==] -E echo [==[Build first: the cases of ${arg_PREFIX} are listed by the build.]==])
  set_tests_properties([==[${arg_PREFIX}.NOT_BUILT]==] PROPERTIES WILL_FAIL TRUE)
endif()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
