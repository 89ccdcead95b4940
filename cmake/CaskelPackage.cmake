# `make package`: two Debian packages made by CPack from the install rules. `caskel` holds what
# CaskelInstall.cmake installs (the tool, caskeld, manual pages, completions, the user unit);
# `caskel-desktop` holds caskel-app with its desktop entry, icons and AppStream metadata.
# Configured only with -DCASKEL_PACKAGING=ON and a /usr prefix (the Makefile's package target).
find_program(CASKEL_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(CASKEL_GZIP gzip REQUIRED)

# The release this build is: the changelog's top entry and the AppStream release.
set(CASKEL_DEB_RELEASE 1)
set(CASKEL_DEB_VERSION ${PROJECT_VERSION}-${CASKEL_DEB_RELEASE})
set(CASKEL_RELEASE_DATE 2026-12-07)
set(CASKEL_RELEASE_DATE_RFC2822 "Mon, 07 Dec 2026 12:00:00 +0000")
set(CASKEL_MAINTAINER "Caskel maintainers <maintainers@users.noreply.c-seed-aee2bfc3.example>")

set(dist ${PROJECT_SOURCE_DIR}/dist)
set(staged ${PROJECT_BINARY_DIR}/packaging)

# Debian wants manual pages and changelogs compressed; gzip's -n keeps the time stamp out, so
# rebuilding gives the same bytes.
configure_file(${dist}/debian/changelog.in ${staged}/changelog.Debian @ONLY)
set(compressed)
foreach(source ${staged}/changelog.Debian ${PROJECT_SOURCE_DIR}/docs/man/caskel.1
        ${PROJECT_SOURCE_DIR}/docs/man/caskeld.1 ${PROJECT_SOURCE_DIR}/docs/man/caskel-app.1)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${staged}/${name}.gz
    COMMAND ${CASKEL_GZIP} -9nc ${source} > ${staged}/${name}.gz
    DEPENDS ${source} COMMENT "Compressing ${name}")
  list(APPEND compressed ${staged}/${name}.gz)
endforeach()
add_custom_target(caskel_compressed_docs ALL DEPENDS ${compressed})
install(FILES ${staged}/caskel.1.gz ${staged}/caskeld.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT caskel)

# Each package carries the copyright file and the changelog in its own doc folder.
foreach(component_package caskel:caskel desktop:caskel-desktop)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${staged}/changelog.Debian.gz ${dist}/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
# The tool is linked statically on purpose (see src/CMakeLists.txt); docs/packaging.md says why.
install(FILES ${dist}/debian/caskel.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  RENAME caskel COMPONENT caskel)

# The desktop program and how desktops find it.
install(TARGETS caskel-app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
install(FILES ${staged}/caskel-app.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
install(FILES ${dist}/caskel-app.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
configure_file(${dist}/org.caskel.Caskel.metainfo.xml ${staged}/org.caskel.Caskel.metainfo.xml @ONLY)
install(FILES ${staged}/org.caskel.Caskel.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT desktop)

# The icon: the drawing itself, and the bitmaps rendered from it for desktops that want them.
set(icon_svg ${dist}/icons/caskel.svg)
set(icon_theme ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${icon_svg} DESTINATION ${icon_theme}/scalable/apps COMPONENT desktop)
set(icon_pngs)
foreach(size 16 22 24 32 48 64 128 256)
  set(png ${staged}/icons/${size}/caskel.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${staged}/icons/${size}
    COMMAND ${CASKEL_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${icon_svg}
    DEPENDS ${icon_svg} COMMENT "Rendering the ${size}px icon" VERBATIM)
  list(APPEND icon_pngs ${png})
  install(FILES ${png} DESTINATION ${icon_theme}/${size}x${size}/apps COMPONENT desktop)
endforeach()
add_custom_target(caskel_app_icons ALL DEPENDS ${icon_pngs})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME caskel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${CASKEL_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL caskel desktop)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CASKEL_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CASKEL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the libraries the binaries link, as dpkg-shlibdeps reads them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_CASKEL_PACKAGE_NAME caskel)
set(CPACK_DEBIAN_CASKEL_PACKAGE_SECTION utils)
# `caskel sandbox` runs agents under bubblewrap; everything else works without it.
set(CPACK_DEBIAN_CASKEL_PACKAGE_RECOMMENDS bubblewrap)
set(CPACK_DEBIAN_CASKEL_DESCRIPTION "secrets manager that keeps values away from AI agents
Caskel keeps API keys, tokens, passwords and recovery codes encrypted on your
machine and asks for your passphrase before any value is read. The caskeld
server answers the caskel tool over a Unix socket only your user can reach; it
names each caller by its process tree, and an AI coding agent never receives a
raw value, only an encrypted, self-deleting shell fragment.
.
This package holds the caskel tool, the caskeld server with a systemd user
unit, their manual pages and shell completions.")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME caskel-desktop)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "pinentry-gnome3 | pinentry-qt")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION "tray application of the Caskel secrets manager
caskel-app shows your Caskel secrets from the system tray, opens a
quick-access panel with a keyboard shortcut and hosts the same server as
caskeld. It asks for the vault passphrase through a graphical pinentry.")
# Its dependency on the same version of caskel is written when cpack runs, so that a package
# of another version (cpack -D CPACK_PACKAGE_VERSION=…) depends on its own.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CaskelCPackConfig.cmake)
include(CPack)
