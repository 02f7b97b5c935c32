# The builds for other machines, each made by its own cross compiler in a
# sub-build of this tree, and the tests that run them here:
#
# - Windows: the 32-bit unzrq.exe users get, and a 64-bit .exe of the same
#   source. Both run the end-to-end suite and the unit tables (the pixel
#   paths, the writers) under wine, and both are disassembled to check that
#   no vector move assumes a stack alignment Windows does not give. Many
#   kernels (CI machines among them) cannot run 32-bit x86 programs, so no
#   wine runs the 32-bit .exe files there and their cases report themselves
#   skipped, saying why; the 64-bit leg runs everywhere, so the Windows code
#   always meets KERNEL32.
# - s390x: the Linux build for a big-endian machine, run under qemu's
#   user-mode emulator, so that a byte-order assumption anywhere fails the
#   unit and end-to-end suites.
#
# Each build with tests builds GoogleTest from the sources Debian ships with
# it, with its own compiler, as there is no such GoogleTest to link against.
#
# Included from the top-level list file; tests/e2e calls
# unzrq_add_cross_tests() once the end-to-end driver exists.

option(UNZRQ_S390X
       "Also cross-build for s390x (big-endian) and run the unit and end-to-end suites on it under qemu"
       OFF)

include(ExternalProject)

set(UNZRQ_GOOGLETEST_SOURCE /usr/src/googletest
    CACHE PATH "GoogleTest's sources, built with each cross compiler")

# unzrq_add_cross_build(<name> TOOLCHAIN <file> CXX <compiler> CC <C compiler>
#                       [EMULATOR <command>...] [GOOGLETEST_ARGS <-D...>...]
#                       BYPRODUCTS <file>...)
#
# Builds GoogleTest with the compiler into <name>-googletest/ (optimised,
# without debug information: nobody steps into it), then this tree, tests
# included, into <name>/, with the parent's build type and -Werror setting. EMULATOR runs the build's programs here (the build lists its test
# cases through it, and its tests run through it); BYPRODUCTS are the files
# of the build that the parent's tests use.
function(unzrq_add_cross_build name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TOOLCHAIN;CXX;CC" "EMULATOR;GOOGLETEST_ARGS;BYPRODUCTS")
  set(googletest_prefix ${CMAKE_BINARY_DIR}/${name}-googletest/install)
  set(compiler_args -DCMAKE_TOOLCHAIN_FILE=${arg_TOOLCHAIN} -DCMAKE_CXX_COMPILER=${arg_CXX})
  ExternalProject_Add(unzrq_${name}_googletest
    SOURCE_DIR ${UNZRQ_GOOGLETEST_SOURCE}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${name}-googletest
    INSTALL_DIR ${googletest_prefix}
    CMAKE_ARGS
      ${compiler_args}
      -DCMAKE_C_COMPILER=${arg_CC}
      -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
      -DCMAKE_INSTALL_LIBDIR=lib
      -DBUILD_GMOCK=OFF
      ${arg_GOOGLETEST_ARGS})
  set(emulator_args "")
  if(arg_EMULATOR)
    # ExternalProject would split a list: its items travel joined by '|'.
    string(REPLACE ";" "|" emulator "${arg_EMULATOR}")
    set(emulator_args -DCMAKE_CROSSCOMPILING_EMULATOR=${emulator})
  endif()
  ExternalProject_Add(unzrq_${name}
    DEPENDS unzrq_${name}_googletest
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${name}
    LIST_SEPARATOR |
    CMAKE_ARGS
      ${compiler_args}
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      ${emulator_args}
      -DGTest_DIR=${googletest_prefix}/lib/cmake/GTest
      -DUNZRQ_WERROR=${UNZRQ_WERROR}
      -DUNZRQ_WINDOWS=OFF
      -DUNZRQ_S390X=OFF
      -DUNZRQ_BENCH=OFF
      -DBUILD_TESTING=ON
      -DUNZRQ_TEST_BUILD_NAME=${name}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${arg_BYPRODUCTS})
endfunction()

if(UNZRQ_WINDOWS AND NOT WIN32)
  find_program(UNZRQ_MINGW_CXX NAMES i686-w64-mingw32-g++-posix i686-w64-mingw32-g++)
  find_program(UNZRQ_MINGW_CC NAMES i686-w64-mingw32-gcc-posix i686-w64-mingw32-gcc)
  find_program(UNZRQ_MINGW64_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
  find_program(UNZRQ_MINGW64_CC NAMES x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc)
  find_program(UNZRQ_MINGW_OBJDUMP NAMES i686-w64-mingw32-objdump)
  find_program(UNZRQ_MINGW64_OBJDUMP NAMES x86_64-w64-mingw32-objdump)
  find_program(UNZRQ_WINE NAMES wine)
  # Debian keeps the 64-bit loader off PATH; the test driver looks in the same places.
  find_program(UNZRQ_WINE64 NAMES wine64 PATHS /usr/lib/wine)
  if(NOT UNZRQ_MINGW_CXX OR NOT UNZRQ_MINGW_CC OR NOT UNZRQ_MINGW64_CXX OR NOT UNZRQ_MINGW64_CC
     OR NOT UNZRQ_MINGW_OBJDUMP OR NOT UNZRQ_MINGW64_OBJDUMP OR NOT UNZRQ_WINE OR NOT UNZRQ_WINE64
     OR NOT EXISTS ${UNZRQ_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "The Windows builds need the mingw-w64 i686 and x86-64 compilers and "
                        "binutils, wine, wine64 and GoogleTest's sources (Debian: "
                        "g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 wine wine64 "
                        "googletest, and wine32 where the kernel runs 32-bit programs); "
                        "configure with -DUNZRQ_WINDOWS=OFF to build for Linux alone.")
  endif()
  # Each leg's data, under its name in capitals: toolchain file, compilers,
  # objdump, and the wine prefix made by the test wine.<leg>.prefix (fixture
  # <leg>_prefix) and shared by every test that runs the leg's .exe.
  set(UNZRQ_WINDOWS_LEGS windows windows64)
  set(UNZRQ_WINDOWS_TOOLCHAIN mingw-w64-i686)
  set(UNZRQ_WINDOWS_CXX ${UNZRQ_MINGW_CXX})
  set(UNZRQ_WINDOWS_CC ${UNZRQ_MINGW_CC})
  set(UNZRQ_WINDOWS_OBJDUMP ${UNZRQ_MINGW_OBJDUMP})
  set(UNZRQ_WINDOWS_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(UNZRQ_WINDOWS64_TOOLCHAIN mingw-w64-x86_64)
  set(UNZRQ_WINDOWS64_CXX ${UNZRQ_MINGW64_CXX})
  set(UNZRQ_WINDOWS64_CC ${UNZRQ_MINGW64_CC})
  set(UNZRQ_WINDOWS64_OBJDUMP ${UNZRQ_MINGW64_OBJDUMP})
  set(UNZRQ_WINDOWS64_PREFIX ${CMAKE_BINARY_DIR}/wineprefix64)
  foreach(leg ${UNZRQ_WINDOWS_LEGS})
    string(TOUPPER ${leg} LEG)
    unzrq_add_cross_build(${leg}
      TOOLCHAIN ${PROJECT_SOURCE_DIR}/cmake/${UNZRQ_${LEG}_TOOLCHAIN}.cmake
      CXX ${UNZRQ_${LEG}_CXX} CC ${UNZRQ_${LEG}_CC}
      GOOGLETEST_ARGS -Dgtest_disable_pthreads=ON
      BYPRODUCTS ${CMAKE_BINARY_DIR}/${leg}/unzrq.exe ${CMAKE_BINARY_DIR}/${leg}/zrq.exe
                 ${CMAKE_BINARY_DIR}/${leg}/tests/unit/unzrq_unit_tables.exe)
    set(UNZRQ_${LEG}_EXE ${CMAKE_BINARY_DIR}/${leg}/unzrq.exe)
  endforeach()
endif()

if(UNZRQ_S390X)
  find_program(UNZRQ_S390X_CXX NAMES s390x-linux-gnu-g++)
  find_program(UNZRQ_S390X_CC NAMES s390x-linux-gnu-gcc)
  find_program(UNZRQ_QEMU_S390X NAMES qemu-s390x-static qemu-s390x)
  find_program(UNZRQ_PRLIMIT NAMES prlimit)
  set(UNZRQ_S390X_SYSROOT /usr/s390x-linux-gnu
      CACHE PATH "The s390x C and C++ libraries the emulated programs load")
  if(NOT UNZRQ_S390X_CXX OR NOT UNZRQ_S390X_CC OR NOT UNZRQ_QEMU_S390X OR NOT UNZRQ_PRLIMIT
     OR NOT EXISTS ${UNZRQ_GOOGLETEST_SOURCE}/CMakeLists.txt
     OR NOT EXISTS ${UNZRQ_S390X_SYSROOT}/lib)
    message(FATAL_ERROR "The s390x build needs the s390x cross compiler, qemu's user-mode "
                        "emulator, prlimit and GoogleTest's sources (Debian: g++-s390x-linux-gnu "
                        "qemu-user-static util-linux googletest); configure with -DUNZRQ_S390X=OFF "
                        "to leave it out.")
  endif()
  # A byte-order fault turns sizes into gigabytes: each unit case would write
  # until the disk or the timeout ran out. Past 64 MiB (no unit test writes
  # more than 2) a write fails instead, and the case with it, in a fraction of
  # a second.
  unzrq_add_cross_build(s390x
    TOOLCHAIN ${PROJECT_SOURCE_DIR}/cmake/s390x-linux-gnu.cmake
    CXX ${UNZRQ_S390X_CXX} CC ${UNZRQ_S390X_CC}
    EMULATOR ${UNZRQ_PRLIMIT} --fsize=67108864 ${UNZRQ_QEMU_S390X} -L ${UNZRQ_S390X_SYSROOT}
    BYPRODUCTS ${CMAKE_BINARY_DIR}/s390x/unzrq ${CMAKE_BINARY_DIR}/s390x/zrq
               ${CMAKE_BINARY_DIR}/s390x/tests/unit/unzrq_unit_tables
               ${CMAKE_BINARY_DIR}/s390x/tests/unit/unzrq_unit_linux)
  set(UNZRQ_S390X_TOOL ${CMAKE_BINARY_DIR}/s390x/unzrq)
endif()


# The tests of the cross builds, one per case and build (cmake/test_cases.cmake).
# The end-to-end driver and the wine runner are targets of tests/e2e; the
# native unit tables list the cases of the Windows unit tables, built from the
# same sources, since nothing can run an .exe while the build lists them.
function(unzrq_add_cross_tests)
  if(UNZRQ_WINDOWS_LEGS)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    set(guard ${PROJECT_SOURCE_DIR}/tests/stack_alignment.py)
    foreach(leg ${UNZRQ_WINDOWS_LEGS})
      string(TOUPPER ${leg} LEG)
      set(exe ${UNZRQ_${LEG}_EXE})
      set(zrq_exe ${CMAKE_BINARY_DIR}/${leg}/zrq.exe)
      set(objdump ${UNZRQ_${LEG}_OBJDUMP})
      set(prefix ${UNZRQ_${LEG}_PREFIX})
      set(unit_tables ${CMAKE_BINARY_DIR}/${leg}/tests/unit/unzrq_unit_tables.exe)

      # No aligned vector move on the stack beyond what Windows aligns it to
      # (tests/stack_alignment.py): wine would not notice, Windows would crash.
      # The self-test shows that the guard still reads this objdump's output.
      add_test(NAME guard.${leg}.StackAlignment.SelfTest
        COMMAND Python3::Interpreter ${guard} --self-test ${objdump})
      foreach(program ${exe} ${zrq_exe} ${unit_tables})
        get_filename_component(program_name ${program} NAME_WE)
        add_test(NAME guard.${leg}.StackAlignment.${program_name}
          COMMAND Python3::Interpreter ${guard} ${objdump} ${program})
      endforeach()

      # A prefix of the leg's own inside the build tree, made once before the
      # first case, so that no case sees wine's prefix-creation lines and the
      # user's own prefix is never touched. The driver picks the wine loader
      # for the .exe; where this host cannot run the .exe at all it says why
      # and ends with 77, and the case is reported skipped. The leg's cases
      # take turns on the prefix: one wine session at a time.
      add_test(NAME wine.${leg}.prefix
        COMMAND unzrq_e2e --tool ${exe} --wine --make-wine-prefix)
      set_tests_properties(wine.${leg}.prefix PROPERTIES
        FIXTURES_SETUP ${leg}_prefix ENVIRONMENT "WINEPREFIX=${prefix};WINEDEBUG=-all"
        TIMEOUT 300 SKIP_RETURN_CODE 77)
      # gtest_discover_tests hands a property on as one value each: the second
      # variable goes by ENVIRONMENT_MODIFICATION.
      set(wine_properties
        FIXTURES_REQUIRED ${leg}_prefix RESOURCE_LOCK ${prefix}
        ENVIRONMENT WINEPREFIX=${prefix} ENVIRONMENT_MODIFICATION WINEDEBUG=set:-all
        TIMEOUT 300 SKIP_RETURN_CODE 77)
      unzrq_discover_tests(unzrq_e2e TEST_PREFIX e2e.${leg}. ${UNZRQ_DISCOVER_OPTIONS}
                           EXTRA_ARGS --tool ${exe} --zrq ${zrq_exe} --wine
                           PROPERTIES ${wine_properties})
      unzrq_add_test_cases(unit_${leg}
        PREFIX unit.${leg}
        LIST $<TARGET_FILE:unzrq_unit_tables>
        RUN $<TARGET_FILE:unzrq_wine_run> ${unit_tables}
        DEPENDS unzrq_unit_tables
        PROPERTIES ${wine_properties})
    endforeach()
  endif()

  if(UNZRQ_S390X_TOOL)
    # The unit cases are the s390x build's own tests (listed through qemu
    # when it builds them); CTest reads them from that build's tree.
    get_filename_component(s390x_build ${UNZRQ_S390X_TOOL} DIRECTORY)
    set(unit_tests ${s390x_build}/tests/unit/CTestTestfile.cmake)
    set(include_file ${CMAKE_CURRENT_BINARY_DIR}/s390x_unit_tests.cmake)
    file(WRITE ${include_file} "\
if(EXISTS [==[${unit_tests}]==])
  include([==[${unit_tests}]==])
else()
  add_test(unit.s390x.NOT_BUILT [==[${CMAKE_COMMAND}]==] -E echo [==[Build first: the s390x build lists its cases.]==])
  set_tests_properties(unit.s390x.NOT_BUILT PROPERTIES WILL_FAIL TRUE)
endif()
")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
    # The driver takes the emulator as one program; qemu finds the s390x
    # libraries by QEMU_LD_PREFIX.
    unzrq_discover_tests(unzrq_e2e TEST_PREFIX e2e.s390x. ${UNZRQ_DISCOVER_OPTIONS}
                         EXTRA_ARGS --tool ${UNZRQ_S390X_TOOL} --zrq ${CMAKE_BINARY_DIR}/s390x/zrq --emulator ${UNZRQ_QEMU_S390X}
                         PROPERTIES ENVIRONMENT QEMU_LD_PREFIX=${UNZRQ_S390X_SYSROOT} TIMEOUT 300)
  endif()
endfunction()
