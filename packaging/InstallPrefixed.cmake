# Run at install time (`cmake --install`, `cpack`), not at configure time:
# the files that name the installed programs or live under /etc follow the
# prefix of that installation. So one build folder serves both
# `cmake --install build` (prefix /usr/local: /usr/local/etc/...) and the
# Debian package (prefix /usr: /usr/bin/agente, /etc/...), and
# scripts/package needs no second build of the programs.
#
# Set by the install(CODE) before this script: KELVOR_SOURCE_DIR (packaging/),
# KELVOR_STAGE_DIR (a folder of the build tree), KELVOR_BINDIR and
# KELVOR_DATADIR (relative or absolute), KELVOR_SERVICE_TYPE and
# KELVOR_WATCHDOG_LINES.

function(kelvor_full_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

kelvor_full_path(CMAKE_INSTALL_FULL_BINDIR "${KELVOR_BINDIR}")
kelvor_full_path(datadir "${KELVOR_DATADIR}")
set(KELVOR_DOC_DIR "${datadir}/doc/kelvor-agente")
# As GNUInstallDirs: the prefix /usr keeps its settings in /etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(sysconfdir /etc)
else()
  set(sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
endif()

set(stage "${KELVOR_STAGE_DIR}/${CMAKE_INSTALL_PREFIX}")
configure_file("${KELVOR_SOURCE_DIR}/kelvor-agente.service.in" "${stage}/kelvor-agente.service" @ONLY)
configure_file("${KELVOR_SOURCE_DIR}/kelvor-agente.desktop.in" "${stage}/kelvor-agente.desktop" @ONLY)
configure_file("${KELVOR_SOURCE_DIR}/kelvor-agente-autostart.desktop.in"
               "${stage}/autostart/kelvor-agente.desktop" @ONLY)

# The autostart folder is the system-wide one that freedesktop.org desktops
# read (/etc/xdg/autostart for the prefix /usr).
file(INSTALL "${stage}/kelvor-agente.service" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
file(INSTALL "${stage}/kelvor-agente.desktop" DESTINATION "${datadir}/applications")
file(INSTALL "${stage}/autostart/kelvor-agente.desktop" DESTINATION "${sysconfdir}/xdg/autostart")
# The lock folder /run/kelvor, made at boot by systemd-tmpfiles.
file(INSTALL "${KELVOR_SOURCE_DIR}/kelvor-agente.tmpfiles" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d"
     RENAME kelvor-agente.conf)
file(INSTALL "${KELVOR_SOURCE_DIR}/kelvor-agente.logrotate" DESTINATION "${sysconfdir}/logrotate.d"
     RENAME kelvor-agente)
