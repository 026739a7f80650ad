# The product version, from project(): one header for every command that answers --version, and
# the packages' version (packaging/).
configure_file(${CMAKE_CURRENT_LIST_DIR}/vendrel_version.h.in
               ${CMAKE_BINARY_DIR}/generated/vendrel_version.h @ONLY)
add_library(vendrel_version INTERFACE)
target_include_directories(vendrel_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
add_library(vendrel::version ALIAS vendrel_version)
