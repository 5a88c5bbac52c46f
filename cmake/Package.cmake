# `make package`: a Debian package of what `cmake --install` puts into /usr. The version is the
# project's; the dependencies come from the shared libraries the programs link (dpkg-shlibdeps),
# plus the Qt platform plugins, which the window loads at run time and no linker sees.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vornik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Vornik developers <vornik@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "maintenance tool for KRV field devices")
# Lines of at most 80 characters, as Debian asks of the extended description.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Vornik updates the firmware of KRV field devices (controllers, sensor hubs,"
  "data loggers, RS485/Ethernet adapters) over a serial line or TCP from Intel"
  "HEX files or QOB packages, reads their identification and external data"
  "flash, and converts firmware files. It has a window (in Hungarian) and an"
  "unattended command-line update. The package also holds vornik-tool, for"
  "scripts and fleet updates, and vornik-sim, a simulated device.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
include(CPack)
