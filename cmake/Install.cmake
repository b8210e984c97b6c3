# Installation: the relay, its manual page, and the example configuration and
# systemd unit as documentation. `cmake --install build` with the default
# prefix puts the program at /usr/local/bin/veltor, where the unit expects it.
#
# The demo feed (tools/) is deliberately absent: it is a toy server for trying
# the relay from the source tree and has no place on a production host.
include(GNUInstallDirs)

install(TARGETS veltor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/veltor.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/examples/veltor.conf
              ${PROJECT_SOURCE_DIR}/examples/veltor.service
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
