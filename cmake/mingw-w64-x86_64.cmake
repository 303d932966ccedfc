# Cross build for 64-bit Windows with the mingw-w64 toolchain of Debian (the posix thread model,
# which has std::thread). Used by the "windows" preset.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TIRVANE_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TIRVANE_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TIRVANE_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${TIRVANE_MINGW_TARGET}-windres)

# Libraries and packages come from the target's own tree, programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TIRVANE_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The toolchain's runtime (libstdc++, libgcc, winpthread) is linked in: the program runs on a
# machine that has none of its DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# nlohmann/json is header-only, so the build machine's copy serves the target as it is; but the
# cross compiler must never see the rest of /usr/include (the build machine's C library headers).
# It is offered through a folder that holds only its headers and its package files.
if(NOT CMAKE_IN_TRY_COMPILE)
  set(host_headers ${CMAKE_BINARY_DIR}/host-headers)
  if(NOT EXISTS /usr/include/nlohmann/json.hpp OR NOT EXISTS /usr/share/cmake/nlohmann_json)
    message(FATAL_ERROR "nlohmann/json is not installed on the build machine (nlohmann-json3-dev)")
  endif()
  file(MAKE_DIRECTORY ${host_headers}/include)
  file(CREATE_LINK /usr/include/nlohmann ${host_headers}/include/nlohmann SYMBOLIC)
  # A copy, not a link: the package files find the headers relative to where they lie.
  file(COPY /usr/share/cmake/nlohmann_json DESTINATION ${host_headers}/share/cmake)
  list(APPEND CMAKE_FIND_ROOT_PATH ${host_headers})
  list(APPEND CMAKE_PREFIX_PATH ${host_headers})
endif()
