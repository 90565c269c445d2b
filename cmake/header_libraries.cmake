# Header-only libraries from the distribution's packages (scripts/setup.sh installs them). They
# are plain C++, so the cross build uses them too; but it must not search the host's
# /usr/include, where the host's C library would shadow MinGW's. Each is therefore reached
# through a directory of the build's own that holds a link to its folder alone.
function(header_library target header folder package)
  find_path(${target}_INCLUDE_DIR ${header} PATHS /usr/include NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${target}_INCLUDE_DIR)
    message(FATAL_ERROR "${header} not found: install the Debian package ${package}")
  endif()
  set(links ${CMAKE_BINARY_DIR}/header-libraries/${target})
  file(MAKE_DIRECTORY ${links})
  file(CREATE_LINK ${${target}_INCLUDE_DIR}/${folder} ${links}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${links})
endfunction()

header_library(cli11 CLI/CLI.hpp CLI libcli11-dev)
header_library(nlohmann_json nlohmann/json.hpp nlohmann nlohmann-json3-dev)
