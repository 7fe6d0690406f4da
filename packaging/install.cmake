# Installation and the Debian package: the daemon in sbin, the tools in bin,
# the integrator header, the sample description and icons, the systemd unit,
# the sysusers entry, make-device-description, the man pages, vbdctl's bash
# completion, the Wireshark dissector and the documents. Included last by the top-level CMakeLists.txt.
include(GNUInstallDirs)

set(VBD_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

install(TARGETS vBdServer RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS vbdctl vbd-player-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/vbd/player_link.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vbd)

# For app developers: vbdctl's bash completion, and the control port's
# dissector in Wireshark's global Lua plugin folder, where Wireshark and
# tshark load it by themselves (/usr/lib/<multiarch>/wireshark/plugins).
install(FILES ${CMAKE_SOURCE_DIR}/tools/vbdctl/vbdctl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vbdctl)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(vbd_wireshark_plugins lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins)
else()
  set(vbd_wireshark_plugins ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/tools/wireshark/vbd_control.lua DESTINATION ${vbd_wireshark_plugins})

# The sample description.xml and its icon folder, from which
# make-device-description makes the device's working directory.
install(FILES ${VBD_PACKAGING_DIR}/description.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/vbdserver)
install(DIRECTORY ${VBD_PACKAGING_DIR}/description DESTINATION ${CMAKE_INSTALL_DATADIR}/vbdserver)

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vbdserver)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vbdserver FILES_MATCHING PATTERN "*.md")
install(FILES ${VBD_PACKAGING_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vbdserver)

install(FILES ${VBD_PACKAGING_DIR}/systemd/vbdserver.sysusers
        DESTINATION lib/sysusers.d RENAME vbdserver.conf)

# Made when the install runs (install-time.cmake): the unit and
# make-device-description name the installation's own folders, known only
# then; the man pages and the changelog go in gzip'ed.
install(CODE "
  set(VBD_PACKAGING_DIR \"${VBD_PACKAGING_DIR}\")
  set(VBD_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(VBD_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
  set(VBD_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
  set(VBD_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
")
install(SCRIPT ${VBD_PACKAGING_DIR}/install-time.cmake)

# ---------------------------------------------------------------------------
# CPack: one .deb
# ---------------------------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vbdserver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vBdServer")
set(CPACK_PACKAGE_CONTACT "vBdServer developers <vbdserver-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network remote control and discovery daemon for a Blu-ray player")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Runs beside the player's main program: relays text commands from remote\n\
control apps on TCP 8102 to the main program over a System V message queue,\n\
forwards the player's status events, and announces the player as a UPnP\n\
device (SSDP, description over HTTP on 38400). Includes the control client\n\
vbdctl, the player simulator vbd-player-sim and the integrator header\n\
<vbd/player_link.h>.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${VBD_PACKAGING_DIR}/debian/postinst ${VBD_PACKAGING_DIR}/debian/prerm ${VBD_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The postinst makes the system user with systemd-sysusers, or with useradd
# (passwd) where systemd is missing; deb-systemd-helper and
# deb-systemd-invoke (init-system-helpers) and the shell tools the scripts
# use are in essential packages.
set(vbd_script_depends "systemd | passwd")
set(vbd_library_depends "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
if(VBD_LINE_EDITING)
  string(APPEND vbd_library_depends ", libedit2 (>= 3.1)")  # vbdctl's prompt
endif()

# A cross build names the target's architecture (the toolchain files set
# VBD_DEB_ARCHITECTURE); dpkg-shlibdeps only knows the build machine's
# libraries, so a cross package lists its run-time dependencies itself.
# With dpkg-shlibdeps, CPack adds the libraries it finds to the list.
find_program(VBD_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(CMAKE_CROSSCOMPILING OR NOT VBD_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${vbd_library_depends}, ${vbd_script_depends}")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${vbd_script_depends}")
endif()
if(CMAKE_CROSSCOMPILING AND VBD_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VBD_DEB_ARCHITECTURE})
endif()

include(CPack)
