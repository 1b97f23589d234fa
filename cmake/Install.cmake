# Lays Varnolux out as Linux desktop programs are, and packages it as a .deb with CPack.
include(GNUInstallDirs)

install(TARGETS varnolux RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES share/varnolux.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 32 48 128 256)
    install(FILES share/icons/varnolux-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME varnolux.png)
endforeach()
# Data files the program looks for beside itself, or in ../share/varnolux when installed.
install(FILES share/HAND-M.CUR DESTINATION ${CMAKE_INSTALL_DATADIR}/varnolux)
install(FILES docs/varnolux.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnolux)
set(CPACK_PACKAGE_VENDOR "Quennick")
set(CPACK_PACKAGE_CONTACT "Team Quennick <support@quennick.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lists the image links of a web page and downloads the ones you keep")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation, iputils-ping")
set(CPACK_STRIP_FILES ON)
include(CPack)
