# SPDX-License-Identifier: MIT
# Cross build for 32-bit x86 Linux with Debian's cross compiler (package g++-i686-linux-gnu).
# An x86-64 kernel runs the result directly, given the 32-bit loader (package libc6-i386), unless
# it was built or booted without i386 support; qemu-i386-static runs it there.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
