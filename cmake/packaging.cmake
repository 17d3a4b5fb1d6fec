# The Debian packages: `cmake --build build/main --target package` writes them into
# build/main/package:
#   quellbrook-1wire_<version>_<arch>.deb         the program without Qt (for servers), the bus
#                                                 tool, the systemd unit, the default settings
#                                                 with the demo bus, the README and the
#                                                 copyright; its maintainer scripts (packaging/)
#                                                 create the service's user and settings file;
#   quellbrook-1wire-dialog_<version>_<arch>.deb  (with Qt) the desktop program with the Setup
#                                                 dialog, quellbrook-1wire-desktop, and its help.
if(TARGET quellbrook-1wire-desktop)
  install(TARGETS quellbrook-1wire RUNTIME DESTINATION bin COMPONENT core)
  install(TARGETS quellbrook-1wire-desktop RUNTIME DESTINATION bin COMPONENT dialog)
  install(DIRECTORY docs/help/ DESTINATION share/quellbrook-1wire/help COMPONENT dialog)
  install(FILES packaging/copyright DESTINATION share/doc/quellbrook-1wire-dialog
    COMPONENT dialog)
  set(CPACK_COMPONENTS_ALL core dialog)
else()
  install(TARGETS quellbrook-1wire RUNTIME DESTINATION bin COMPONENT core)
  set(CPACK_COMPONENTS_ALL core)
endif()
install(TARGETS quellbrook-bus RUNTIME DESTINATION bin COMPONENT core)
install(FILES packaging/quellbrook-1wire.service DESTINATION lib/systemd/system COMPONENT core)
# Grants the service CAP_NET_ADMIN when its adapter is a kernel 1-Wire master (IntType=W1).
install(PROGRAMS packaging/quellbrook-1wire-generator DESTINATION lib/systemd/system-generators
  COMPONENT core)
# What `quellbrook-bus serve --w1` preloads into the command it runs.
install(TARGETS qb_w1_preload LIBRARY DESTINATION lib/quellbrook-1wire COMPONENT core)
install(FILES packaging/60-quellbrook-1wire-i2c.rules DESTINATION lib/udev/rules.d COMPONENT core)
install(FILES packaging/settings.ini DESTINATION share/quellbrook-1wire COMPONENT core)
# The DS9490R's device node for the group plugdev (the service's user joins it in postinst).
install(FILES packaging/60-quellbrook-1wire-ds9490r.rules DESTINATION lib/udev/rules.d
  COMPONENT core)
install(FILES demo/bus.json DESTINATION share/quellbrook-1wire RENAME demo-bus.json
  COMPONENT core)
install(FILES README.md packaging/copyright DESTINATION share/doc/quellbrook-1wire COMPONENT core)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME quellbrook-1wire)
set(CPACK_PACKAGE_VENDOR "Quellbrook")
set(CPACK_PACKAGE_CONTACT "Quellbrook 1-Wire developers <quellbrook-1wire@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "1-Wire sensors and switches for home automation, with web pages and an MQTT bridge")
set(CPACK_PACKAGE_DESCRIPTION
    "Scans a 1-Wire bus through a serial adapter (or the built-in simulator), polls its\n\
thermometers, A/D converters, counters, switches and potentiometers, and shows them on\n\
its own web pages, a JSON API and, through MQTT, in Home Assistant and other hubs.")
set(CPACK_DEBIAN_CORE_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION}\n\
This package runs without a desktop; quellbrook-1wire-dialog adds the Setup dialog.")
set(CPACK_DEBIAN_DIALOG_DESCRIPTION
    "This package holds the Setup dialog (Qt).\n\
The program quellbrook-1wire-desktop: the Quellbrook 1-Wire Interface with its desktop Setup\n\
dialog (settings, device tree, per-device pages, the memory buttons' files) and its help.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries each package's programs link (libmosquitto, libcrypt, Qt for the dialog's
# package) become its dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_CORE_PACKAGE_NAME quellbrook-1wire)
set(CPACK_DEBIAN_CORE_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_CORE_PACKAGE_SUGGESTS "mosquitto, quellbrook-1wire-dialog")
set(CPACK_DEBIAN_CORE_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/postinst;${PROJECT_SOURCE_DIR}/packaging/prerm;${PROJECT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_CORE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_DIALOG_PACKAGE_NAME quellbrook-1wire-dialog)
set(CPACK_DEBIAN_DIALOG_PACKAGE_DEPENDS "quellbrook-1wire (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DIALOG_PACKAGE_SECTION x11)
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}/package")
include(CPack)
