# Cross-compiles the Linux build for s390x, a big-endian machine, and runs
# what it builds (tests, test discovery) under qemu's user-mode emulator,
# called explicitly so that no binfmt_misc registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
endif()
if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)  # GoogleTest's build enables C
endif()
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x-static -L /usr/s390x-linux-gnu
    CACHE STRING "Runs an s390x program on the build machine")
