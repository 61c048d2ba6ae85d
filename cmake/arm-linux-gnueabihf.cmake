# Cross-building for ARMv7 boards with a VFP unit (Debian armhf): hard float,
# Debian's arm-linux-gnueabihf cross compilers with their default
# -march=armv7-a -mfpu=vfpv3-d16 -mthumb.
set(FW_ARM_TRIPLET arm-linux-gnueabihf)
set(FW_ARM_FLAGS "-mfloat-abi=hard")
set(FW_ARM_QEMU_CPU cortex-a7)
set(FW_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/arm-common.cmake)
