# Run by "cmake --install" and by cpack (install(SCRIPT) from install.cmake):
# makes the installed files that name the installation's own directories,
# which are only known when the install runs (cpack installs under /usr, a
# hand install under its own prefix): the systemd unit and
# make-device-description; and installs the gzip'ed man pages and changelog.
# install.cmake sets VBD_PACKAGING_DIR and the GNUInstallDirs folders
# (VBD_SBINDIR, VBD_DATADIR, VBD_MANDIR, VBD_SYSCONFDIR) before this runs.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(root "$ENV{DESTDIR}${prefix}")

# The configuration folder as GNUInstallDirs places it for this prefix:
# /etc for /usr (and /), /etc/opt/NAME for /opt/NAME, else PREFIX/etc.
if(IS_ABSOLUTE "${VBD_SYSCONFDIR}")
  set(sysconfdir "${VBD_SYSCONFDIR}")
elseif(prefix MATCHES "^/(usr/?)?$")
  set(sysconfdir "/${VBD_SYSCONFDIR}")
elseif(prefix MATCHES "^/opt/" AND NOT prefix MATCHES "^/opt/homebrew/")
  set(sysconfdir "/${VBD_SYSCONFDIR}${prefix}")
else()
  set(sysconfdir "${prefix}/${VBD_SYSCONFDIR}")
endif()

# Names used in the templates.
set(VBD_SBINDIR "${prefix}/${VBD_SBINDIR}")
set(VBD_SAMPLEDIR "${prefix}/${VBD_DATADIR}/vbdserver")
set(VBD_DEVICEDIR "${sysconfdir}/vbdserver")
set(VBD_TOOLDIR "${prefix}/lib/vbdserver")

configure_file("${VBD_PACKAGING_DIR}/systemd/vbdserver.service.in"
               "${root}/lib/systemd/system/vbdserver.service" @ONLY)
message(STATUS "Installing: ${root}/lib/systemd/system/vbdserver.service")
configure_file("${VBD_PACKAGING_DIR}/make-device-description.in"
               "$ENV{DESTDIR}${VBD_TOOLDIR}/make-device-description" @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
message(STATUS "Installing: $ENV{DESTDIR}${VBD_TOOLDIR}/make-device-description")

# gzip -9n: no name or time stamp, so the package is reproducible.
function(vbd_install_gzip source destination)
  get_filename_component(dir "${destination}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  execute_process(COMMAND gzip -9nc "${source}" OUTPUT_FILE "${destination}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip of ${source} failed")
  endif()
  message(STATUS "Installing: ${destination}")
endfunction()

foreach(page vBdServer.8 vbdctl.1 vbd-player-sim.1)
  string(REGEX REPLACE ".*\\." "" section "${page}")
  vbd_install_gzip("${VBD_PACKAGING_DIR}/man/${page}" "${root}/${VBD_MANDIR}/man${section}/${page}.gz")
endforeach()
vbd_install_gzip("${VBD_PACKAGING_DIR}/debian/changelog" "${root}/${VBD_DATADIR}/doc/vbdserver/changelog.gz")
