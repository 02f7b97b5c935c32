# What the Windows cross builds share. The toolchain file that includes this
# one names the target machine in CMAKE_SYSTEM_PROCESSOR (i686 or x86_64);
# the compiler, resource compiler and libraries are mingw-w64's for it.
set(CMAKE_SYSTEM_NAME Windows)
set(mingw_triplet ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${mingw_triplet}-g++-posix)
endif()
set(CMAKE_RC_COMPILER ${mingw_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
