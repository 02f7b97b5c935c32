# Run by CPack once it has made the packages of one generator
# (CPACK_POST_BUILD_SCRIPTS), which it lists in CPACK_PACKAGE_FILES: each
# tarball and zip is rewritten by normalize_package.py.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.(tar\\.gz|zip)$")
    execute_process(COMMAND ${CPACK_UNZRQ_PYTHON} ${CPACK_UNZRQ_NORMALIZE} ${package}
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "Could not normalize ${package}")
    endif()
  endif()
endforeach()
