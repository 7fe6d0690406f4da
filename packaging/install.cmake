# Installation and the Debian package: the daemon in sbin, the tools in bin,
# the integrator header, the sample description and icons, the systemd unit,
# the sysusers entry and the man pages. Included last by the top-level
# CMakeLists.txt.
include(GNUInstallDirs)

set(VBD_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

install(TARGETS vBdServer RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS vbdctl vbd-player-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/vbd/player_link.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vbd)

# The daemon's working directory: description.xml and the icon folder.
install(FILES ${VBD_PACKAGING_DIR}/description.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/vbdserver)
install(DIRECTORY ${VBD_PACKAGING_DIR}/description DESTINATION ${CMAKE_INSTALL_DATADIR}/vbdserver)

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vbdserver)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vbdserver FILES_MATCHING PATTERN "*.md")

install(FILES ${VBD_PACKAGING_DIR}/systemd/vbdserver.sysusers
        DESTINATION lib/sysusers.d RENAME vbdserver.conf)

# The unit names the daemon's installed paths, and the man pages go in
# gzip'ed. Both are made when the install runs, because the prefix is only
# known then (cpack installs under /usr, a hand install under its own).
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(VBD_SBINDIR \"\${prefix}/${CMAKE_INSTALL_SBINDIR}\")
  set(VBD_DATADIR \"\${prefix}/${CMAKE_INSTALL_DATADIR}\")
  set(root \"\$ENV{DESTDIR}\${prefix}\")
  configure_file(\"${VBD_PACKAGING_DIR}/systemd/vbdserver.service.in\"
                 \"\${root}/lib/systemd/system/vbdserver.service\" @ONLY)
  message(STATUS \"Installing: \${root}/lib/systemd/system/vbdserver.service\")
  foreach(page vBdServer.8 vbdctl.1 vbd-player-sim.1)
    string(REGEX REPLACE \".*\\\\.\" \"\" section \"\${page}\")
    set(dir \"\${root}/${CMAKE_INSTALL_MANDIR}/man\${section}\")
    file(MAKE_DIRECTORY \"\${dir}\")
    execute_process(COMMAND gzip -9nc \"${VBD_PACKAGING_DIR}/man/\${page}\"
                    OUTPUT_FILE \"\${dir}/\${page}.gz\" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"gzip of \${page} failed\")
    endif()
    message(STATUS \"Installing: \${dir}/\${page}.gz\")
  endforeach()
")

# ---------------------------------------------------------------------------
# CPack: one .deb
# ---------------------------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vbdserver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vBdServer")
set(CPACK_PACKAGE_CONTACT "vBdServer developers <vbdserver@localhost>")
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

# A cross build names the target's architecture (the toolchain files set
# VBD_DEB_ARCHITECTURE); dpkg-shlibdeps only knows the build machine's
# libraries, so a cross package lists its run-time dependencies itself.
if(CMAKE_CROSSCOMPILING)
  if(VBD_DEB_ARCHITECTURE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VBD_DEB_ARCHITECTURE})
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
else()
  find_program(VBD_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(VBD_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
  endif()
endif()

include(CPack)
