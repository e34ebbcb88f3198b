# SPDX-License-Identifier: MIT
# Cross build for 64-bit Arm Linux with Debian's cross compiler (package g++-aarch64-linux-gnu).
# qemu-aarch64-static (package qemu-user-static) runs a static build of it here; a dynamic
# one is for packaging only, as nothing here provides the aarch64 C library.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TOOLCHAIN_PREFIX aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
