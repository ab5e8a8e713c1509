# The Debian package: `cpack -G DEB` in the build folder.
#
# The programs go under /usr, the page and image files stay in TARNWICK_DATA_DIR, where
# the installed programs look for them (/usr/bin/../share/TarnwickWebServer holds no
# staged copy).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick-webserver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small HTTP file-sharing server with a control window")
set(CPACK_PACKAGE_DESCRIPTION
    "Shares a folder or a single file with browsers on the local network, or
receives files uploaded from them into a download folder. Access can be open,
protected by one password on a login page, or by HTTP Basic users. The control
window shows the traffic, the machine's addresses and whether the server can be
reached from the internet.
.
The package also holds tarnwick-serve, the same server without a window.")
set(CPACK_STRIP_FILES ON)

# The contact and homepage of the About box.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarnwick Web Server maintainers <tarnwick@example.org>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/tarnwick")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# dpkg-shlibdeps finds the Qt libraries the programs link, and with libqt6gui6 come the
# X11 platform plugin and the JPEG and ICO image plugins (Debian ships them in that
# package). What it cannot see: the window program exits at once without a session bus,
# and Help and View open the browser through xdg-open; on a Wayland session without
# Qt's Wayland plugin the window runs through XWayland.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "default-dbus-session-bus | dbus-session-bus")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")

# Debian's place for the package's copyright statement, its README and its changelog
# (compressed, as Debian wants it).
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
install(FILES ${CMAKE_SOURCE_DIR}/NOTICE DESTINATION ${doc_dir} RENAME copyright)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${doc_dir})
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/install/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/install/changelog
    VERBATIM)
add_custom_target(tarnwick_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${doc_dir})

set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/install/drop-opt-entry.cmake)

include(CPack)
