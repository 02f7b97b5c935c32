# Runs the fuzzer for SECONDS from a fresh work corpus that starts as a copy
# of the seeds; kept regressions are read as a second, read-only corpus.
# Usage: cmake -DFUZZER=... -DWORK_CORPUS=... -DSEEDS=... -DREGRESSIONS=...
#              -DDICTIONARY=... -DARTIFACTS=... -DSECONDS=... -P run_fuzzer.cmake
foreach(variable FUZZER WORK_CORPUS SEEDS REGRESSIONS DICTIONARY ARTIFACTS SECONDS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_fuzzer.cmake needs -D${variable}=...")
  endif()
endforeach()
if(NOT IS_DIRECTORY "${SEEDS}")
  message(FATAL_ERROR "No seed corpus at ${SEEDS}: build the unzrq_seed_corpus target first")
endif()

file(REMOVE_RECURSE "${WORK_CORPUS}")
file(MAKE_DIRECTORY "${WORK_CORPUS}" "${ARTIFACTS}")
file(GLOB seeds "${SEEDS}/*")
file(COPY ${seeds} DESTINATION "${WORK_CORPUS}")

execute_process(
  COMMAND "${FUZZER}"
    -max_total_time=${SECONDS}
    -timeout=10
    -rss_limit_mb=512
    -dict=${DICTIONARY}
    -artifact_prefix=${ARTIFACTS}/
    -print_final_stats=1
    "${WORK_CORPUS}" "${REGRESSIONS}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "The fuzzer stopped with \"${result}\": its input is under ${ARTIFACTS}")
endif()
