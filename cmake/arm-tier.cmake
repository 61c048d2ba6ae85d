# The arm test tier, read right after project() in a cross build: the test
# sources of the native suite are built for ARM and every test runs under
# qemu-arm against the ARM programs and the ARM emulator library.
# tests/arm/CMakeLists.txt writes the runners named here.
if(DEFINED FW_TESTS AND NOT FW_TESTS)
  return()
endif()

set(FW_ARM_TIER_DIR ${CMAKE_BINARY_DIR}/arm)

# Each test executable starts through this runner (CTest and test discovery
# alike), which names the ARM programs for the board fixture.
set(CMAKE_CROSSCOMPILING_EMULATOR ${FW_ARM_TIER_DIR}/run-test)

# GoogleTest for the target: built once from Debian's googletest sources with
# this toolchain and found like any installed package.
set(FW_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources built for the ARM tier")
set(prefix ${FW_ARM_TIER_DIR}/gtest)
if(NOT EXISTS ${prefix}/lib/cmake/GTest/GTestConfig.cmake)
  if(NOT EXISTS ${FW_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "arm tier: no GoogleTest sources in ${FW_GTEST_SOURCE} "
                        "(install Debian's googletest, or configure with -DFW_TESTS=OFF)")
  endif()
  message(STATUS "arm tier: building GoogleTest for ${FW_ARM_TRIPLET}")
  set(build ${FW_ARM_TIER_DIR}/gtest-build)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${FW_GTEST_SOURCE} -B ${build} -G ${CMAKE_GENERATOR}
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${prefix} -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_GMOCK=OFF
    OUTPUT_QUIET RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${build} --target install -j2
                    OUTPUT_QUIET RESULT_VARIABLE rc)
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "arm tier: building GoogleTest for ${FW_ARM_TRIPLET} failed")
  endif()
endif()
set(GTest_DIR ${prefix}/lib/cmake/GTest CACHE PATH "GoogleTest built for the target" FORCE)
