# SPDX-License-Identifier: MIT
# What every cross build for Linux with Debian's cross compilers shares; the toolchain file that
# includes this sets CMAKE_SYSTEM_PROCESSOR and TOOLCHAIN_PREFIX (the compiler's target triplet).
set(CMAKE_SYSTEM_NAME Linux)
find_program(CMAKE_CXX_COMPILER NAMES ${TOOLCHAIN_PREFIX}-g++ REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
