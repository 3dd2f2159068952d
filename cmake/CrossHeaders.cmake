# A build for the phone cannot search the host's /usr/include (its C
# library headers are the host's), yet the image tools and the tests use
# header-only libraries installed there. Only those are made visible, each
# through a link in a directory of its own.
set(UPG_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
file(MAKE_DIRECTORY ${UPG_CROSS_INCLUDE})
foreach(dir nlohmann CLI)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/deps")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${UPG_CROSS_INCLUDE}/${dir} SYMBOLIC)
endforeach()

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${UPG_CROSS_INCLUDE})
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${UPG_CROSS_INCLUDE})
