# Installing like any Linux program: the executable in bin, the menu entry, the icons where the
# icon theme looks, the software-centre record and the manual page; and a Debian package of it
# (`cpack -G DEB` in a Release build folder, or scripts/package).
include(GNUInstallDirs)

# The day this version was released; the metainfo record and the manual page carry it.
set(ZENTRA_RELEASE_DATE "2026-12-10")

install(TARGETS zentra RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The remote desktop session, loaded by the program at the first connection; the program finds it
# by the same relative path as in the build folder.
install(TARGETS zentra_rdp_session_library LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/zentra)
install(FILES ${CMAKE_SOURCE_DIR}/resources/zentra.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# The theme's own folders are named <size>x<size>; our pictures are named zentra-<size>.png.
foreach(size 16 32 48 64 128 256)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/zentra-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME zentra.png)
endforeach()

configure_file(${CMAKE_SOURCE_DIR}/resources/zentra.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/com.zentracomputing.zentra.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/com.zentracomputing.zentra.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Debian ships manual pages compressed, without a time stamp in the gzip header.
configure_file(${CMAKE_SOURCE_DIR}/resources/zentra.1.in ${CMAKE_BINARY_DIR}/zentra.1 @ONLY)
find_program(GZIP_PROGRAM gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/zentra.1.gz
  COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_BINARY_DIR}/zentra.1 > ${CMAKE_BINARY_DIR}/zentra.1.gz
  DEPENDS ${CMAKE_BINARY_DIR}/zentra.1
  VERBATIM)
add_custom_target(zentra_manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/zentra.1.gz)
install(FILES ${CMAKE_BINARY_DIR}/zentra.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Debian package. Library dependencies are computed from the program and its session library
# (dpkg-shlibdeps); what the program needs at run time that is not a linked library is named here: the faces the
# windows are drawn in, the desktop's opener for downloaded installers and links, Qt's X11
# platform plugin, without which no window opens, the icon theme whose folders our icons join, and
# CUPS, which the program loads only when it lists printers.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentra)
set(CPACK_PACKAGE_VENDOR "Zentra Computing")
set(CPACK_PACKAGE_CONTACT "Zentra Computing <support@${ZENTRA_WEB_HOST}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client of the Zentra Computing hosted remote desktop")
set(CPACK_PACKAGE_DESCRIPTION
    "Sign in with a Zentra Computing user name and password and work on the hosted remote\n\
desktop in its own window, with local drives, printers and serial ports redirected.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://${ZENTRA_WEB_HOST}/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wine, xdg-utils, qt6-qpa-plugins, hicolor-icon-theme, libcups2")
include(CPack)
