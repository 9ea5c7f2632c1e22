# Cross-build for 64-bit Windows with the mingw-w64 posix-threads compilers (std::thread needs
# them), linked statically so the .exe files run under wine or on Windows with no DLLs beside.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZORBENT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZORBENT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORBENT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORBENT_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZORBENT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs each test .exe through wine.
find_program(ZORBENT_WINE NAMES wine64 wine)
if(ZORBENT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZORBENT_WINE})
endif()

# CLI11 is header-only: the build machine's copy serves, through a config of our own.
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/cli11 CACHE PATH "CLI11 package (header-only)" FORCE)
# nlohmann/json likewise.
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/nlohmann_json CACHE PATH "nlohmann/json package (header-only)" FORCE)
