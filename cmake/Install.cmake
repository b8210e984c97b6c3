# Installation: the relay and its three tools, the manual pages, the
# configuration, the systemd unit, the copyright file and the changelog.
# `cmake --install build` with the default prefix puts the programs in
# /usr/local/bin; the package is built for the /usr prefix, which puts the
# configuration in /etc/veltor and the unit in /lib/systemd/system.
#
# The demo feed (tools/) is deliberately absent: it is a toy server for trying
# the relay from the source tree and has no place on a production host.
include(GNUInstallDirs)

set(VELTOR_CONFIG_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/veltor")
set(VELTOR_CONFIG_FILE "${VELTOR_CONFIG_DIR}/veltor.conf")
# The units' options (Debian's /etc/default) and the stream logs' rotation.
set(VELTOR_DEFAULTS_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default")
set(VELTOR_LOGROTATE_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d")
set(VELTOR_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
# Where systemd looks: /lib/systemd/system for Debian's own packages, and
# PREFIX/lib/systemd/system (/usr/local/lib/systemd/system) for the rest.
if(NOT DEFINED VELTOR_SYSTEMD_UNIT_DIR)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(VELTOR_SYSTEMD_UNIT_DIR "/lib/systemd/system")
  else()
    set(VELTOR_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  endif()
endif()

# A directory under the prefix is installed by its relative path, so that
# `cmake --install --prefix` and DESTDIR both move it; /etc and /lib stay absolute.
function(veltor_destination full out)
  string(FIND "${full}/" "${CMAKE_INSTALL_PREFIX}/" at)
  if(at EQUAL 0)
    file(RELATIVE_PATH relative "${CMAKE_INSTALL_PREFIX}" "${full}")
    set(${out} "${relative}" PARENT_SCOPE)
  else()
    set(${out} "${full}" PARENT_SCOPE)
  endif()
endfunction()
veltor_destination("${VELTOR_CONFIG_DIR}" veltor_config_destination)
veltor_destination("${VELTOR_SYSTEMD_UNIT_DIR}" veltor_unit_destination)
veltor_destination("${VELTOR_DEFAULTS_DIR}" veltor_defaults_destination)
veltor_destination("${VELTOR_LOGROTATE_DIR}" veltor_logrotate_destination)

install(TARGETS veltor veltor-check veltor-watch veltor-ctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (cpack, cmake --install --strip) also drops the compiler's
# .comment and .note sections, as Debian's own packaging does.
if(CMAKE_OBJCOPY)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program veltor veltor-check veltor-watch veltor-ctl)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\")
      endforeach()
    endif()
  ")
endif()

# Manual pages and the changelog go compressed, as Debian keeps them;
# gzip -n leaves no time stamp, so the same sources give the same files.
find_program(VELTOR_GZIP gzip)
set(veltor_compressed_docs)
function(veltor_install_compressed source destination)
  get_filename_component(name "${source}" NAME)
  if(NOT VELTOR_GZIP)
    install(FILES "${source}" DESTINATION "${destination}")
    return()
  endif()
  set(copy "${PROJECT_BINARY_DIR}/compressed/${name}")
  add_custom_command(OUTPUT "${copy}.gz"
    COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${copy}"
    COMMAND ${VELTOR_GZIP} -9nf "${copy}"
    DEPENDS "${source}"
    VERBATIM)
  set(veltor_compressed_docs ${veltor_compressed_docs} "${copy}.gz" PARENT_SCOPE)
  install(FILES "${copy}.gz" DESTINATION "${destination}")
endfunction()

foreach(page veltor.8 veltor.conf.5 veltor-check.1 veltor-watch.1 veltor-ctl.1)
  string(REGEX MATCH "[0-9]$" section "${page}")
  veltor_install_compressed("${PROJECT_SOURCE_DIR}/docs/${page}" "${CMAKE_INSTALL_MANDIR}/man${section}")
endforeach()
veltor_install_compressed("${PROJECT_SOURCE_DIR}/packaging/debian/changelog" "${CMAKE_INSTALL_DOCDIR}")
add_custom_target(veltor_compressed_docs ALL DEPENDS ${veltor_compressed_docs})

install(FILES "${PROJECT_SOURCE_DIR}/packaging/debian/copyright" DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# The units run the programs and the configuration of this prefix: one relay,
# and one per console (veltor@NAME).
foreach(unit veltor.service veltor@.service)
  configure_file("${PROJECT_SOURCE_DIR}/packaging/${unit}.in" "${PROJECT_BINARY_DIR}/${unit}" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/${unit}" DESTINATION "${veltor_unit_destination}")
endforeach()
install(FILES "${PROJECT_SOURCE_DIR}/packaging/logrotate" DESTINATION "${veltor_logrotate_destination}" RENAME veltor)

# The commented example is the configuration to start from. An installed one
# has been edited since: a second install keeps it (the package's conffile
# handling is dpkg's).
install(CODE "
  set(veltor_config_dir \"${veltor_config_destination}\")
  if(NOT IS_ABSOLUTE \"\${veltor_config_dir}\")
    set(veltor_config_dir \"\${CMAKE_INSTALL_PREFIX}/\${veltor_config_dir}\")
  endif()
  if(EXISTS \"\$ENV{DESTDIR}\${veltor_config_dir}/veltor.conf\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}\${veltor_config_dir}/veltor.conf\")
  else()
    file(INSTALL DESTINATION \"\${veltor_config_dir}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${PROJECT_SOURCE_DIR}/examples/veltor.conf\")
  endif()
  set(veltor_defaults_dir \"${veltor_defaults_destination}\")
  if(NOT IS_ABSOLUTE \"\${veltor_defaults_dir}\")
    set(veltor_defaults_dir \"\${CMAKE_INSTALL_PREFIX}/\${veltor_defaults_dir}\")
  endif()
  if(EXISTS \"\$ENV{DESTDIR}\${veltor_defaults_dir}/veltor\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}\${veltor_defaults_dir}/veltor\")
  else()
    file(INSTALL DESTINATION \"\${veltor_defaults_dir}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         RENAME veltor FILES \"${PROJECT_SOURCE_DIR}/packaging/default\")
  endif()
")
