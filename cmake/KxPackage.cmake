# The Debian package: `cpack -G DEB` in the build folder (scripts/package.sh) makes
# kestrovia_<version>_amd64.deb of what `cmake --install` puts in place, with the
# package's dependencies read from the binaries by dpkg-shlibdeps.

include(GNUInstallDirs)
find_package(PkgConfig REQUIRED)

install(TARGETS kxdecode RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/resources/io.github.kestrovia.Kestrovia.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Manual pages, compressed as Debian keeps them (no time stamp, so the same every build).
set(kx_man_pages)
foreach(page kxphone kxcall kxdecode)
  set(source ${CMAKE_SOURCE_DIR}/docs/man/${page}.1)
  set(packed ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n -c '${source}' > '${packed}'"
    DEPENDS ${source}
    VERBATIM)
  list(APPEND kx_man_pages ${packed})
endforeach()
add_custom_target(kx_man_pages ALL DEPENDS ${kx_man_pages})
install(FILES ${kx_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrovia)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Kestrovia developers")
set(CPACK_PACKAGE_CONTACT "The Kestrovia developers <kestrovia@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "H.323 video-conferencing client")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Kestrovia calls H.323 room systems and conference bridges with G.711 and G.722 audio,
H.264 video, H.239 content, far-end camera control and user input; it sends the camera,
the desktop or one window, keeps contacts and a call history, and speaks English and
Vietnamese.

Also kxcall, a headless H.323 endpoint for tests and diagnostics, and kxdecode, which
prints the H.323 signalling in a packet capture.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # kestrovia_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/kestrovia/kestrovia")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# FFmpeg is opened at run time by its soname (so the binaries do not show it): the
# packages of the major versions the engine was built against.
pkg_check_modules(KX_FFMPEG REQUIRED libavcodec libavutil)
string(REGEX MATCH "^[0-9]+" kx_avcodec_major "${KX_FFMPEG_libavcodec_VERSION}")
string(REGEX MATCH "^[0-9]+" kx_avutil_major "${KX_FFMPEG_libavutil_VERSION}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libavcodec${kx_avcodec_major} | libavcodec-extra${kx_avcodec_major}, libavutil${kx_avutil_major}")
# Sharing the screen in a Wayland session goes through the desktop portal; Qt draws
# natively there with its Wayland platform.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse, xdg-desktop-portal, qtwayland5")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
