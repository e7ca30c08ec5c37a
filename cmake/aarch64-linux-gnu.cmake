# Cross build for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu (see
# scripts/aarch64-wheels). The project's own flags apply unchanged, among
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

# Target programs the build runs go through user-mode emulation, invoked
# directly (no binfmt handler is needed or registered): the stub generator,
# and the target's Python interpreter, which FindPython asks for its
# extension suffix when policy CMP0190 is NEW. ZANDREL_AARCH64_ROOT holds the
# target's run-time libraries: the cross toolchain's own, or an unpacked
# arm64 Debian tree that also holds the interpreter (scripts/python-arm64).
set(ZANDREL_AARCH64_ROOT /usr/aarch64-linux-gnu CACHE PATH "Root of the arm64 libraries for qemu-aarch64 -L")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${ZANDREL_AARCH64_ROOT})
