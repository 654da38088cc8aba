# Runs at install time (cmake --install), after CALLAUDIO_SOURCE_DIR,
# CALLAUDIO_BINARY_DIR and CALLAUDIO_BINDIR have been set. Writes the systemd unit with the binary
# and options file under the prefix being installed to, and the options
# file itself. /usr keeps its configuration in /etc, as GNUInstallDirs has
# it; any other prefix in <prefix>/etc.
set(bindir "${CMAKE_INSTALL_PREFIX}/${CALLAUDIO_BINDIR}")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(sysconfdir "/etc")
else()
  set(sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
endif()

file(READ "${CALLAUDIO_SOURCE_DIR}/packaging/systemd/call-audio.service" unit)
string(REPLACE "/usr/bin/call-audio" "${bindir}/call-audio" unit "${unit}")
string(REPLACE "/etc/default/call-audio" "${sysconfdir}/default/call-audio" unit "${unit}")
string(REPLACE "/usr/share/doc/call-audio" "${CMAKE_INSTALL_PREFIX}/share/doc/call-audio" unit "${unit}")
# file(INSTALL) adds DESTDIR, reports the file and records it in the
# install manifest, as install() rules do.
set(staged "${CALLAUDIO_BINARY_DIR}/call-audio.service.staged/call-audio.service")
file(WRITE "${staged}" "${unit}")
file(INSTALL "${staged}" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")

# The options file is the administrator's: never overwritten once there.
if(EXISTS "$ENV{DESTDIR}${sysconfdir}/default/call-audio")
  message(STATUS "Keeping: $ENV{DESTDIR}${sysconfdir}/default/call-audio")
else()
  file(INSTALL "${CALLAUDIO_SOURCE_DIR}/packaging/systemd/call-audio.default"
       DESTINATION "${sysconfdir}/default" RENAME call-audio)
endif()
