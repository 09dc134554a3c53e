# Cross build for 64-bit Windows with mingw-w64 (posix thread model, so the
# standard library's threads and mutexes are available), fully static so the
# DLL and the test programs need no mingw runtime DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${VELA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${VELA_MINGW_TRIPLE}-windres)
set(VELA_WIDL ${VELA_MINGW_TRIPLE}-widl)
set(VELA_WIDL_ARCH -m64)
set(VELA_WINE_DLLDIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
set(CMAKE_FIND_ROOT_PATH /usr/${VELA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
