# Cross build for 64-bit Arm Linux with Debian's cross compiler and the
# arm64 (multiarch) builds of the libraries we link: `./run.sh test-aarch64`,
# or cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake.
# The cross libc we link against lives in /usr/aarch64-linux-gnu;
# libfmt-dev:arm64 and libgtest-dev:arm64 in /usr/lib/aarch64-linux-gnu,
# their headers in the shared /usr/include. Programs built here run under
# qemu's user-mode emulation on the arm64 multiarch runtime
# (cmake/qemu-aarch64-run): ctest lists and runs the test programs
# through it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries, headers and package configs from the cross root first, then
# from the multiarch directories (find_package and find_library pick
# lib/aarch64-linux-gnu through CMAKE_LIBRARY_ARCHITECTURE). Programs are
# the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
list(APPEND CMAKE_PREFIX_PATH /usr/lib/aarch64-linux-gnu/cmake)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-aarch64-run)
