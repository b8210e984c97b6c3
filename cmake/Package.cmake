# The Debian package: `cpack -G DEB` in a build tree configured for the /usr
# prefix (tools/build-package.sh, or `make package`) gives
# veltor_VERSION_ARCH.deb with the files of cmake/Install.cmake.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "A Debian package is built with -DCMAKE_INSTALL_PREFIX=/usr (now ${CMAKE_INSTALL_PREFIX})")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltor)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Veltor maintainers <maintainers@veltor.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay one TCP console stream to many clients")
set(CPACK_PACKAGE_DESCRIPTION
"Veltor connects as a client to one upstream TCP server, such as a device
console, a serial-to-TCP adapter or a telemetry feed, listens on a local
port and copies the server's byte stream to every client that connects.
Ordered address and mask rules decide who is admitted, who may also type to
the server, whether an address may connect twice and how long a client may
stay; every new client first receives the configured greetings.
.
The package holds the relay, veltor-check (reads a configuration exactly as
the relay does and reports likely mistakes), veltor-watch (a client that
shows the greetings as text), veltor-ctl (asks a running relay who is
connected, and cuts a client off), the manual pages, and hardened systemd
units for one relay or one per console.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://veltor.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The stream logs' rotation is logrotate's.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS logrotate)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# dpkg keeps an edited configuration across upgrades and removal.
configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/conffiles.in" "${PROJECT_BINARY_DIR}/debian/conffiles" @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_BINARY_DIR}/debian/conffiles"
    "${PROJECT_SOURCE_DIR}/packaging/debian/postinst"
    "${PROJECT_SOURCE_DIR}/packaging/debian/prerm"
    "${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
