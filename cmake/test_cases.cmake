# One CTest test per GoogleTest case and build, named <prefix>.<Suite>.<Case>
# (e2e.windows64.RawCopy.SizesAndPlacement, unit.s390x.CopyRaw...), so that a
# red line names the behaviour and the build at once.
#
#   unzrq_add_test_cases(<id>
#     PREFIX <e2e.linux, unit.windows64, ...>
#     LIST <command>...        prints the cases when given --gtest_list_tests
#     RUN <command>...         runs one case when given --gtest_filter=<Suite>.<Case>
#     [DEPENDS <target or file>...]   what LIST and RUN need built
#     [PROPERTIES <name> <value>...]) further test properties
#
# The cases are listed when the build is (by running LIST, through an
# emulator where the program is built for another machine, or a native
# build of the same sources where nothing can run it at build time), into a
# file CTest reads when it starts, so that `ctest -N` shows every case. An
# argument of RUN may hold ';' (an emulator command handed on as one
# argument). Every case's test is skipped when the case reports itself
# skipped (GTEST_SKIP: a path this CPU lacks, a limit of the host) and fails
# when its name no longer matches a case of the program.

set(UNZRQ_LIST_TEST_CASES_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/list_test_cases.cmake)

function(unzrq_add_test_cases id)
  set(section "")
  set(prefix "")
  set(list_command "")
  set(run_text "")
  set(depends "")
  set(properties_text "")
  math(EXPR last "${ARGC} - 1")
  foreach(index RANGE 1 ${last})
    set(argument "${ARGV${index}}")
    if(argument MATCHES "^(PREFIX|LIST|RUN|DEPENDS|PROPERTIES)$")
      set(section ${argument})
    elseif(section STREQUAL "PREFIX")
      set(prefix "${argument}")
    elseif(section STREQUAL "LIST")
      list(APPEND list_command "${argument}")
    elseif(section STREQUAL "RUN")
      string(APPEND run_text " [==[${argument}]==]")
    elseif(section STREQUAL "DEPENDS")
      list(APPEND depends "${argument}")
    elseif(section STREQUAL "PROPERTIES")
      string(APPEND properties_text " [==[${argument}]==]")
    else()
      message(FATAL_ERROR "unzrq_add_test_cases: unexpected argument \"${argument}\"")
    endif()
  endforeach()
  if(prefix STREQUAL "" OR list_command STREQUAL "" OR run_text STREQUAL "")
    message(FATAL_ERROR "unzrq_add_test_cases(${id}) needs PREFIX, LIST and RUN")
  endif()

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/test_cases)
  set(config ${dir}/${id}.config.cmake)
  set(cases ${dir}/${id}.cases.cmake)
  set(include_file ${dir}/${id}.include.cmake)
  file(GENERATE OUTPUT ${config} CONTENT "\
set(LIST_COMMAND [===[${list_command}]===])
set(PREFIX [===[${prefix}]===])
set(RUN_TEXT [===[${run_text}]===])
set(PROPERTIES_TEXT [===[${properties_text}]===])
")
  add_custom_command(
    OUTPUT ${cases}
    COMMAND ${CMAKE_COMMAND} -DCONFIG=${config} -DOUTPUT=${cases}
            -P ${UNZRQ_LIST_TEST_CASES_SCRIPT}
    DEPENDS ${depends} ${config} ${UNZRQ_LIST_TEST_CASES_SCRIPT}
    COMMENT "Listing the cases of ${prefix}"
    VERBATIM)
  add_custom_target(${id}_cases ALL DEPENDS ${cases})
  # Before the first build there is nothing to list: one test says so.
  file(WRITE ${include_file} "\
if(EXISTS [==[${cases}]==])
  include([==[${cases}]==])
else()
  add_test([==[${prefix}.NOT_BUILT]==] [==[${CMAKE_COMMAND}]==] -E echo [==[Build first: the cases of ${prefix} are listed by the build.]==])
  set_tests_properties([==[${prefix}.NOT_BUILT]==] PROPERTIES WILL_FAIL TRUE)
endif()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
