# What a release carries: the version of project() in the man page, in the
# Windows version resource and in the packages; the install layout; the CPack
# packages (Linux: a tarball and a .deb; the Windows build: a zip); and the
# tests that build those packages and check them.

# The packages carry both programs; each .exe's version resource says what
# that program does.
set(UNZRQ_SUMMARY "unpack, list, test, extract from and create ZRQ archives")
set(UNZRQ_AUTHORS "the unzrq developers")
set(UNZRQ_COPYRIGHT "2026 ${UNZRQ_AUTHORS}")
set(UNZRQ_MAINTAINER "${UNZRQ_AUTHORS} <unzrq@example.org>"
    CACHE STRING "Maintainer named in the .deb and its copyright file")
option(UNZRQ_PACKAGE_TESTS "With the tests: build the packages and check them (needs lintian)" OFF)

set(UNZRQ_DOC_BUILD_DIR ${PROJECT_BINARY_DIR}/doc)
file(MAKE_DIRECTORY ${UNZRQ_DOC_BUILD_DIR})

# --- Source date ----------------------------------------------------------
# Everything dated in a release (the man page, the packages' file times) takes
# the date of the sources, so that building one commit twice gives the same
# bytes: SOURCE_DATE_EPOCH when the builder sets it, else the last commit's
# date, else (a tarball without history) the time of this configure.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(UNZRQ_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
elseif(EXISTS ${PROJECT_SOURCE_DIR}/.git)
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE UNZRQ_SOURCE_DATE_EPOCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(NOT UNZRQ_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  string(TIMESTAMP UNZRQ_SOURCE_DATE_EPOCH "%s" UTC)
endif()

# --- Man page --------------------------------------------------------------
# string(TIMESTAMP) reads SOURCE_DATE_EPOCH itself.
set(unzrq_builder_date "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${UNZRQ_SOURCE_DATE_EPOCH})
string(TIMESTAMP UNZRQ_MAN_DATE "%Y-%m-%d" UTC)
if(unzrq_builder_date STREQUAL "")
  unset(ENV{SOURCE_DATE_EPOCH})
endif()
configure_file(${PROJECT_SOURCE_DIR}/doc/unzrq.1.in ${UNZRQ_DOC_BUILD_DIR}/unzrq.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/doc/zrq.1.in ${UNZRQ_DOC_BUILD_DIR}/zrq.1 @ONLY)

# --- Windows version resource ----------------------------------------------
if(WIN32)
  # windres writes objects for its own target only: take the one that belongs
  # to the compiler in use, so that a 64-bit compiler with the i686 toolchain
  # file still links.
  if(CMAKE_CXX_COMPILER MATCHES "([^/]*-w64-mingw32)-g\\+\\+[^/]*$")
    find_program(UNZRQ_WINDRES NAMES ${CMAKE_MATCH_1}-windres)
    if(UNZRQ_WINDRES)
      set(CMAKE_RC_COMPILER ${UNZRQ_WINDRES})
    endif()
  endif()
  enable_language(RC)
  set(unzrq_rc_summary "unpack a ZRQ archive into a folder")
  set(zrq_rc_summary "list, test, print, extract from or create ZRQ archives")
  foreach(program unzrq zrq)
    set(UNZRQ_RC_PROGRAM ${program})
    set(UNZRQ_RC_SUMMARY "${${program}_rc_summary}")
    configure_file(${PROJECT_SOURCE_DIR}/cmake/unzrq.rc.in ${PROJECT_BINARY_DIR}/${program}.rc @ONLY)
    target_sources(${program} PRIVATE ${PROJECT_BINARY_DIR}/${program}.rc)
  endforeach()
endif()

# --- Install layout --------------------------------------------------------
# The documents the README links to, shipped in doc/ beside it wherever it is
# shipped, so that its links resolve (.ci/check-package checks they do).
set(UNZRQ_LINKED_DOCS ${PROJECT_SOURCE_DIR}/doc/output-files.md ${PROJECT_SOURCE_DIR}/doc/windows.md)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(WIN32)
  # The zip: the program and its two documents side by side.
  install(TARGETS unzrq zrq RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  install(FILES ${UNZRQ_LINKED_DOCS} DESTINATION doc)
else()
  # The Debian places: man page and changelog compressed, the licence as
  # the copyright file, all under share/doc/unzrq.
  include(GNUInstallDirs)

  file(READ ${PROJECT_SOURCE_DIR}/LICENSE unzrq_license)
  string(REGEX REPLACE "^.*Copyright \\(c\\)[^\n]*\n\n" "" unzrq_license "${unzrq_license}")
  string(STRIP "${unzrq_license}" unzrq_license)
  string(REPLACE "\n\n" "\n.\n" unzrq_license "${unzrq_license}")
  string(REPLACE "\n" "\n " UNZRQ_LICENSE_TEXT " ${unzrq_license}")
  configure_file(${PROJECT_SOURCE_DIR}/doc/copyright.in ${UNZRQ_DOC_BUILD_DIR}/copyright @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/doc/changelog ${UNZRQ_DOC_BUILD_DIR}/changelog COPYONLY)

  set(unzrq_man_page ${UNZRQ_DOC_BUILD_DIR}/unzrq.1)
  set(zrq_man_page ${UNZRQ_DOC_BUILD_DIR}/zrq.1)
  set(unzrq_changelog ${UNZRQ_DOC_BUILD_DIR}/changelog)
  find_program(UNZRQ_GZIP gzip)
  if(UNZRQ_GZIP)
    # -n leaves the name and time out of the header: the same page gives the
    # same bytes.
    execute_process(COMMAND ${UNZRQ_GZIP} -9 -n -k -f unzrq.1 zrq.1 changelog
                    WORKING_DIRECTORY ${UNZRQ_DOC_BUILD_DIR}
                    RESULT_VARIABLE unzrq_gzip_failed)
    if(NOT unzrq_gzip_failed)
      set(unzrq_man_page ${unzrq_man_page}.gz)
      set(zrq_man_page ${zrq_man_page}.gz)
      set(unzrq_changelog ${unzrq_changelog}.gz)
    endif()
  endif()

  install(TARGETS unzrq zrq RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${unzrq_man_page} ${zrq_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${UNZRQ_DOC_BUILD_DIR}/copyright
                ${unzrq_changelog}
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${UNZRQ_LINKED_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)
  # Where bash-completion looks for a command's completion when it is first
  # completed, named as the command.
  install(FILES ${PROJECT_SOURCE_DIR}/completion/zrq.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zrq)
endif()

# --- Packages --------------------------------------------------------------
set(CPACK_PACKAGE_NAME unzrq)
set(CPACK_PACKAGE_VENDOR "${UNZRQ_AUTHORS}")
set(CPACK_PACKAGE_CONTACT "${UNZRQ_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${UNZRQ_SUMMARY}")
set(CPACK_PACKAGE_DESCRIPTION
    "unzrq creates a folder and writes every entry of a ZRQ archive into it\n"
    "as a file of its own: plain entries byte for byte, RGB565 image entries\n"
    "as 24-bit bitmap files. It reads the archive in one pass with constant\n"
    "memory, never changes it, and reports every damaged or unusable entry\n"
    "while still writing the good ones.\n"
    ".\n"
    "zrq, its companion on the same code, lists an archive for people or as\n"
    "JSON, tests it with unzrq's checks and messages, prints one entry,\n"
    "extracts the entries whose names match shell wildcards, optionally\n"
    "keeping files that exist, and packs files and folders into a new\n"
    "archive that unzrq unpacks to the same files. Bash completion for zrq\n"
    "is included.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# Two runs of CPack on one build give the same bytes. CPack dates every member
# SOURCE_DATE_EPOCH (and leaves the time out of a gzip header) when that is
# set where it runs: the project's file sets the source date unless the
# builder gave one. The .deb it makes sorted and owned by root; a tarball or a
# zip it fills in the order the file system lists the staging folder, owned
# by whoever built it, so normalize_package.py rewrites those two: sorted,
# owned by root, every time the source date.
configure_file(${PROJECT_SOURCE_DIR}/cmake/cpack_project_config.cmake.in
               ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
find_package(Python3 QUIET COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  set(CPACK_UNZRQ_PYTHON ${Python3_EXECUTABLE})
  set(CPACK_UNZRQ_NORMALIZE ${PROJECT_SOURCE_DIR}/cmake/normalize_package.py)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/normalize_packages.cmake)
else()
  message(STATUS "No Python: the tarball and zip keep CPack's member order and owners")
endif()
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UNZRQ_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(UNZRQ_HAVE_FUSE)
    # `zrq mount` needs libfuse 3 to start (a dependency found from the
    # program) and fusermount3 to mount as a user (only recommended: unzrq
    # and the rest of zrq do without).
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fuse3)
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)

# --- Package tests ---------------------------------------------------------
# Called once the test suites and the Windows build are set up: builds the
# packages with CPack as a test fixture, then checks each of them.
function(unzrq_add_package_tests)
  if(NOT UNZRQ_PACKAGE_TESTS OR WIN32)
    return()
  endif()
  if(NOT CPACK_POST_BUILD_SCRIPTS)
    message(FATAL_ERROR "The package tests need Python 3 (Debian: python3), or run "
                        ".ci/install-deps as root; configure with -DUNZRQ_PACKAGE_TESTS=OFF to "
                        "leave the packages unchecked.")
  endif()
  set(needed dpkg-deb dpkg-shlibdeps lintian man gzip)
  foreach(program IN LISTS needed)
    find_program(UNZRQ_HAS_${program} ${program})
    if(NOT UNZRQ_HAS_${program})
      message(FATAL_ERROR "The package tests need ${program}. Install it (Debian: dpkg-dev "
                          "lintian man-db gzip), or run .ci/install-deps as root; configure with "
                          "-DUNZRQ_PACKAGE_TESTS=OFF to leave the packages unchecked.")
    endif()
  endforeach()

  set(packages ${PROJECT_BINARY_DIR}/packages)
  set(check ${PROJECT_SOURCE_DIR}/.ci/check-package)
  set(sample ${PROJECT_SOURCE_DIR}/examples/sample.zrq)
  set(version ${PROJECT_VERSION})

  add_test(NAME package.build
           COMMAND ${CMAKE_CPACK_COMMAND} --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake
                   -B ${packages})
  set_tests_properties(package.build PROPERTIES FIXTURES_SETUP unzrq_packages TIMEOUT 300)

  add_test(NAME package.man COMMAND ${check} man ${UNZRQ_DOC_BUILD_DIR}/unzrq.1 ${version})
  add_test(NAME package.man.zrq COMMAND ${check} man ${UNZRQ_DOC_BUILD_DIR}/zrq.1 ${version})
  add_test(NAME package.tgz
           COMMAND ${check} tgz ${packages}/unzrq-${version}-Linux.tar.gz ${version} ${sample}
                   $<TARGET_FILE:unzrq>)
  add_test(NAME package.deb
           COMMAND ${check} deb ${packages} ${version} ${sample} $<TARGET_FILE:unzrq>)
  add_test(NAME package.deb.lintian COMMAND ${check} lintian ${packages} ${version})
  set_tests_properties(package.tgz package.deb package.deb.lintian PROPERTIES
                       FIXTURES_REQUIRED unzrq_packages)
  set_tests_properties(package.man package.man.zrq package.tgz package.deb package.deb.lintian PROPERTIES
                       TIMEOUT 300)

  if(UNZRQ_WINDOWS_EXE)
    get_filename_component(windows_build ${UNZRQ_WINDOWS_EXE} DIRECTORY)
    add_test(NAME package.build.win32
             COMMAND ${CMAKE_CPACK_COMMAND} --config ${windows_build}/CPackConfig.cmake
                     -B ${packages})
    set_tests_properties(package.build.win32 PROPERTIES
                         FIXTURES_SETUP unzrq_packages_win32 TIMEOUT 300)
    # The zip's contents are checked everywhere; its .exe runs under wine
    # where the host can execute 32-bit programs, and the test reports itself
    # skipped, with the reason, where it cannot.
    add_test(NAME package.zip
             COMMAND ${check} zip ${packages}/unzrq-${version}-win32.zip ${version} ${sample}
                     $<TARGET_FILE:unzrq>)
    set_tests_properties(package.zip PROPERTIES
                         FIXTURES_REQUIRED unzrq_packages_win32 SKIP_RETURN_CODE 77 TIMEOUT 300)
  endif()

  # The same packages, byte for byte, from a second build of a copy of the
  # sources in a second tree: configured as this build (and its Windows
  # build) is, without the benchmark, which no package holds, and dated with
  # the same source date.
  set(rebuild_args -- -G ${CMAKE_GENERATOR}
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
      -DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS} -DUNZRQ_WERROR=${UNZRQ_WERROR}
      -DUNZRQ_MAINTAINER=${UNZRQ_MAINTAINER} -DUNZRQ_BENCH=OFF)
  set(fixtures unzrq_packages)
  if(UNZRQ_WINDOWS_EXE)
    list(APPEND rebuild_args -- -G ${CMAKE_GENERATOR}
         -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
         -DCMAKE_CXX_COMPILER=${UNZRQ_MINGW_CXX} -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
         -DUNZRQ_WERROR=${UNZRQ_WERROR} -DUNZRQ_BENCH=OFF)
    list(APPEND fixtures unzrq_packages_win32)
  endif()
  add_test(NAME package.reproducible
           COMMAND ${check} reproducible ${packages} ${PROJECT_BINARY_DIR}/package-rebuild
                   ${PROJECT_SOURCE_DIR} ${CMAKE_COMMAND} ${CMAKE_CPACK_COMMAND} ${rebuild_args})
  set_tests_properties(package.reproducible PROPERTIES
                       FIXTURES_REQUIRED "${fixtures}"
                       ENVIRONMENT SOURCE_DATE_EPOCH=${UNZRQ_SOURCE_DATE_EPOCH}
                       PROCESSORS 2 TIMEOUT 900)
endfunction()
