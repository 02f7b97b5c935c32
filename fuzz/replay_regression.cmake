# Runs the tool on one kept archive in a fresh folder and checks that it ends
# cleanly: exit 0 with nothing on standard error, or a non-zero code it
# reported; no crash; nothing written beside the output folder.
# Usage: cmake -DTOOL=... -DARCHIVE=... -DWORK=... -P replay_regression.cmake
foreach(variable TOOL ARCHIVE WORK)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "replay_regression.cmake needs -D${variable}=...")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
get_filename_component(archive_name "${ARCHIVE}" NAME)
file(COPY "${ARCHIVE}" DESTINATION "${WORK}")

execute_process(
  COMMAND "${TOOL}" "${archive_name}" out
  WORKING_DIRECTORY "${WORK}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  TIMEOUT 30)
message("exit: ${result}\nstdout:\n${out}stderr:\n${err}")

# A signal or a timeout comes back as text, not as a number.
if(NOT result MATCHES "^[0-9]+$")
  message(FATAL_ERROR "The tool did not exit normally: ${result}")
endif()
if(result EQUAL 0 AND NOT err STREQUAL "")
  message(FATAL_ERROR "Exit 0 although something was reported")
endif()
if(NOT result EQUAL 0 AND err STREQUAL "")
  message(FATAL_ERROR "Exit ${result} without a message")
endif()
# As process exit statuses, -3 and -5 read 253 and 251.
if(NOT result EQUAL 0 AND NOT result EQUAL 253 AND NOT result EQUAL 251)
  message(FATAL_ERROR "Exit ${result} is not one an archive can cause")
endif()

file(GLOB beside RELATIVE "${WORK}" "${WORK}/*")
list(REMOVE_ITEM beside "${archive_name}" out)
if(beside)
  message(FATAL_ERROR "Written outside the output folder: ${beside}")
endif()
file(READ "${ARCHIVE}" original HEX)
file(READ "${WORK}/${archive_name}" after HEX)
if(NOT original STREQUAL after)
  message(FATAL_ERROR "The archive was changed")
endif()
