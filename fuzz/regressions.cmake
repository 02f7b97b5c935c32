# Every archive under regressions/ once crashed the tool or broke one of its
# promises (or is a hand-made hostile case kept so that this path always runs).
# Each is replayed by the normal test run against the tool itself.
file(GLOB unzrq_regression_archives CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_LIST_DIR}/regressions/*.zrq)
foreach(archive IN LISTS unzrq_regression_archives)
  get_filename_component(case ${archive} NAME_WE)
  add_test(NAME regression.${case}
    COMMAND ${CMAKE_COMMAND}
      -DTOOL=$<TARGET_FILE:unzrq>
      -DARCHIVE=${archive}
      -DWORK=${CMAKE_CURRENT_BINARY_DIR}/regression_runs/${case}
      -P ${CMAKE_CURRENT_LIST_DIR}/replay_regression.cmake)
  set_tests_properties(regression.${case} PROPERTIES LABELS regression TIMEOUT 60)
endforeach()
