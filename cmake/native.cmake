# Native build: the packing tool and the tests of the code that needs no Windows API.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET liblzma)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_subdirectory(payload)
add_library(setup_neutral STATIC wizard/format.cpp install/paths.cpp)
target_include_directories(setup_neutral PUBLIC wizard install)

add_subdirectory(tools/pack)
add_subdirectory(tools/icons)
add_subdirectory(tests/native)
add_subdirectory(tools/bench)
