# Cross-compiling the Windows module and its tests with mingw-w64; the tests run under wine. 32-bit by
# default, as the host is; TRELVO_MINGW_ARCH=x86_64 builds the same code for 64-bit wine where 32-bit
# programs cannot run.
#
# The win32-thread-model compilers: their C++ runtime uses Windows' own threads and links in no
# winpthreads, whose misc.o imports GetTickCount64 (Windows Vista and later). GCC 12 then has no
# std::thread or std::mutex: the code that needs a thread or a lock calls Windows through
# src/platform/win32 and sim/host_os.h (CreateThread, CRITICAL_SECTION).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT TRELVO_MINGW_ARCH)
  set(TRELVO_MINGW_ARCH i686)
endif()
set(TRELVO_MINGW_ARCH ${TRELVO_MINGW_ARCH} CACHE STRING "mingw-w64 target: i686 or x86_64")
set(CMAKE_SYSTEM_PROCESSOR ${TRELVO_MINGW_ARCH})

set(TRELVO_MINGW_PREFIX ${TRELVO_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${TRELVO_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TRELVO_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${TRELVO_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${TRELVO_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump for the module's import and export tables")

set(CMAKE_FIND_ROOT_PATH /usr/${TRELVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and the module carry their runtime inside: nothing beyond Windows' own DLLs is needed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The oldest Windows the programs are for: XP SP3 (5.1) for the 32-bit build the host loads; 5.2
# (XP x64, Server 2003, the first 64-bit Windows) for the 64-bit twin, which is for tests only.
# _WIN32_WINNT hides every newer function from our own code; the PE headers carry the version.
if(TRELVO_MINGW_ARCH STREQUAL "x86_64")
  set(TRELVO_WINDOWS_FLOOR 5.2)
else()
  set(TRELVO_WINDOWS_FLOOR 5.1)
endif()

if(TRELVO_MINGW_ARCH STREQUAL "x86_64")
  find_program(TRELVO_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
else()
  find_program(TRELVO_WINE wine)
endif()
if(TRELVO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TRELVO_WINE})
endif()
