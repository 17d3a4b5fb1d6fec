# The Debian package: `cmake --build build/main --target package` writes
# quellbrook-1wire_<version>_<arch>.deb into the build folder. It holds the program, the bus tool,
# the systemd unit, the default settings with the demo bus, and the README; its maintainer
# scripts (packaging/) create the service's user and its settings file.
install(TARGETS quellbrook-1wire quellbrook-bus RUNTIME DESTINATION bin)
install(FILES packaging/quellbrook-1wire.service DESTINATION lib/systemd/system)
install(FILES packaging/settings.ini DESTINATION share/quellbrook-1wire)
install(FILES demo/bus.json DESTINATION share/quellbrook-1wire RENAME demo-bus.json)
install(FILES README.md DESTINATION share/doc/quellbrook-1wire)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellbrook-1wire)
set(CPACK_PACKAGE_VENDOR "Quellbrook")
set(CPACK_PACKAGE_CONTACT "Quellbrook 1-Wire developers <quellbrook-1wire@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "1-Wire sensors and switches for home automation, with web pages and an MQTT bridge")
set(CPACK_PACKAGE_DESCRIPTION
    "Scans a 1-Wire bus through a serial adapter (or the built-in simulator), polls its\n\
thermometers, A/D converters, counters, switches and potentiometers, and shows them on\n\
its own web pages, a JSON API and, through MQTT, in Home Assistant and other hubs.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs link (libmosquitto, libcrypt, ...) become dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/postinst;${PROJECT_SOURCE_DIR}/packaging/prerm;${PROJECT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}/package")
include(CPack)
