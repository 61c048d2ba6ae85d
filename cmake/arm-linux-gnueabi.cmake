# Cross-building for ARMv5TE boards without a floating-point unit (Debian
# armel): soft float, Debian's arm-linux-gnueabi cross compilers.
set(FW_ARM_TRIPLET arm-linux-gnueabi)
set(FW_ARM_FLAGS "-march=armv5te -mfloat-abi=soft")
# The oldest core of this kind that qemu-arm models: the tests run on it so an
# instruction newer than ARMv5TE stops them instead of reaching a board.
set(FW_ARM_QEMU_CPU arm926)
set(FW_DEBIAN_ARCH armel)
# ARMv5 has no 64-bit atomic instructions: GCC calls libatomic for them and
# does not link it by itself. Only code that uses them gets it.
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-Wl,--push-state,--as-needed,-latomic,--pop-state")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-Wl,--push-state,--as-needed,-latomic,--pop-state")
include(${CMAKE_CURRENT_LIST_DIR}/arm-common.cmake)
