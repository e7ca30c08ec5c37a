# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu (see
# scripts/build-wheels). The project's own flags apply unchanged, among
# them -ffp-contract=off: GCC fuses multiply-adds on aarch64 by default.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and headers of the target come from the cross toolchain's tree;
# programs run during the build are the host's. Eigen is headers only, so the
# host's package config of it serves the target as well.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The one target program the build runs, the stub generator, goes through
# user-mode emulation on the cross toolchain's own run-time libraries,
# invoked directly (no binfmt handler is needed or registered). The Python
# interpreter FindPython asks is the build machine's; the module's suffix
# and headers are the target's (CMakeLists.txt, scripts/build-wheels).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
