# Read by cpack: dpkg-shlibdeps, which cpack starts, looks the programs'
# libraries up among the packages of the architecture they are built for.
if(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
endif()
