# Read by cpack (CPACK_PROJECT_CONFIG_FILE) after its command line's -D settings. The SVG
# plugin draws the window's icons; it is loaded at run time, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "caskel (= ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}), libqt6svg6")
