# Cross-compiles quorvex.dll for x86-64 Windows with Debian's mingw-w64 and
# runs the Windows programs under wine.
#
# The -posix compilers are named explicitly: the -win32 flavour has no
# std::thread, which the scoring pool needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUORVEX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORVEX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVEX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static: libstdc++, libgcc and winpthreads go inside each binary, so the DLL
# imports only Windows system DLLs and hosts need nothing beside it.
# --exclude-all-symbols: nothing is exported by accident, only what carries
# __declspec(dllexport). --no-insert-timestamp: byte-identical rebuilds.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT
    "-static -Wl,--exclude-all-symbols -Wl,--no-insert-timestamp")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")

# Test programs run under wine64 with a prefix of their own inside the build
# folder. Debian installs wine64 outside PATH unless the `wine` package is
# present too.
find_program(QUORVEX_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
find_program(QUORVEX_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QUORVEX_WINE64)
  set(QUORVEX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  # mscoree/mshtml disabled: no prompt to download Mono or Gecko.
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEDEBUG=-all WINEPREFIX=${QUORVEX_WINEPREFIX}
      WINEDLLOVERRIDES=mscoree,mshtml= ${QUORVEX_WINE64})
else()
  message(WARNING "wine64 not found (apt-get install wine64): the Windows tests cannot run")
endif()
