# Cross-builds for 64-bit Windows with Debian's mingw-w64 toolchain; test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triplet x86_64-w64-mingw32)
# The posix thread variant, as the Qt kit is built with: one libstdc++ for Qt and the launcher.
find_program(_posix_gxx ${_triplet}-g++-posix)
if(_posix_gxx)
  set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
  set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
else()
  set(CMAKE_C_COMPILER ${_triplet}-gcc)
  set(CMAKE_CXX_COMPILER ${_triplet}-g++)
endif()
set(CMAKE_RC_COMPILER ${_triplet}-windres)
set(CMAKE_OBJDUMP ${_triplet}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
# The Qt kit for Windows lives outside the mingw sysroot; packages are searched in it too.
if(LUDOVANE_WINDOWS_QT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${LUDOVANE_WINDOWS_QT})
  list(APPEND CMAKE_PREFIX_PATH ${LUDOVANE_WINDOWS_QT})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUDOVANE_WINDOWS_QT)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(WINE_EXECUTABLE wine)
if(WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
endif()
