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

# GoogleTest for the target, found like any installed package: Debian's own
# libraries for the architecture (libgtest-dev:ARCH, which
# scripts/arm-setup.sh installs), or else built once from Debian's googletest
# sources with this toolchain.
set(FW_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources built for the ARM tier")
set(prefix ${FW_ARM_TIER_DIR}/gtest)
set(debian_gtest /usr/lib/${FW_ARM_TRIPLET})
if(EXISTS ${debian_gtest}/libgtest.a AND EXISTS ${debian_gtest}/libgtest_main.a AND EXISTS /usr/include/gtest/gtest.h)
  # The headers are the build machine's (one version for every architecture),
  # reached through a folder of their own: /usr/include itself would put the
  # build machine's C library before the target's.
  file(MAKE_DIRECTORY ${prefix}/include ${prefix}/lib/cmake/GTest)
  if(NOT EXISTS ${prefix}/include/gtest)
    file(CREATE_LINK /usr/include/gtest ${prefix}/include/gtest SYMBOLIC)
  endif()
  file(WRITE ${prefix}/lib/cmake/GTest/GTestConfig.cmake "\
# Debian's GoogleTest for ${FW_ARM_TRIPLET}, written by cmake/arm-tier.cmake.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
if(NOT TARGET GTest::gtest)
  foreach(lib gtest gtest_main)
    add_library(GTest::\${lib} STATIC IMPORTED)
    set_target_properties(GTest::\${lib} PROPERTIES IMPORTED_LOCATION ${debian_gtest}/lib\${lib}.a
                          INTERFACE_INCLUDE_DIRECTORIES ${prefix}/include
                          INTERFACE_COMPILE_DEFINITIONS GTEST_HAS_PTHREAD=1)
  endforeach()
  set_property(TARGET GTest::gtest PROPERTY INTERFACE_LINK_LIBRARIES Threads::Threads)
  set_property(TARGET GTest::gtest_main PROPERTY INTERFACE_LINK_LIBRARIES GTest::gtest)
endif()
")
elseif(NOT EXISTS ${prefix}/lib/cmake/GTest/GTestConfig.cmake)
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
