# nlohmann/json for the Windows cross-build: the build machine's header-only copy, reached
# through a directory that holds nothing but nlohmann/, so no other header of the build machine
# leaks in.
if(NOT TARGET nlohmann_json::nlohmann_json)
  find_path(ZORBENT_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
            NO_DEFAULT_PATH REQUIRED)
  set(zorbent_nlohmann_dir ${CMAKE_BINARY_DIR}/nlohmann-include)
  file(MAKE_DIRECTORY ${zorbent_nlohmann_dir})
  file(CREATE_LINK ${ZORBENT_NLOHMANN_INCLUDE}/nlohmann ${zorbent_nlohmann_dir}/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                                                ${zorbent_nlohmann_dir})
endif()
set(nlohmann_json_FOUND TRUE)
