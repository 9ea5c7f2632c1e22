# CLI11 for the Windows cross-build: the build machine's header-only copy, reached through a
# directory that holds nothing but CLI/, so no other header of the build machine leaks in.
if(NOT TARGET CLI11::CLI11)
  find_path(ZORBENT_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
            NO_DEFAULT_PATH REQUIRED)
  set(zorbent_cli11_dir ${CMAKE_BINARY_DIR}/cli11-include)
  file(MAKE_DIRECTORY ${zorbent_cli11_dir})
  file(CREATE_LINK ${ZORBENT_CLI11_INCLUDE}/CLI ${zorbent_cli11_dir}/CLI SYMBOLIC)
  add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${zorbent_cli11_dir})
endif()
set(CLI11_FOUND TRUE)
