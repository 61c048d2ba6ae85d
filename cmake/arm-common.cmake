# What both ARM toolchain files share; they set FW_ARM_TRIPLET, FW_ARM_FLAGS,
# FW_ARM_QEMU_CPU and FW_DEBIAN_ARCH first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER ${FW_ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FW_ARM_TRIPLET}-g++)
set(CMAKE_C_FLAGS_INIT "${FW_ARM_FLAGS}")
# GCC notes wherever a standard container's iterator is passed by value that
# GCC before 7.1 passed it differently on ARM. Everything here is built by one
# compiler, so the note (hundreds of lines per build) says nothing.
set(CMAKE_CXX_FLAGS_INIT "${FW_ARM_FLAGS} -Wno-psabi")

# Debian's cross C library lives here; libraries and headers come only from
# it, programs (qemu-arm, dpkg) from the build machine.
set(FW_ARM_SYSROOT /usr/${FW_ARM_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${FW_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CMake run a built ARM program on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${FW_ARM_SYSROOT} -cpu ${FW_ARM_QEMU_CPU})

# The arm test tier (the native suite on the ARM binaries) is set up right
# after project(), before any test is declared.
set(CMAKE_PROJECT_fwintegrity_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/arm-tier.cmake)
