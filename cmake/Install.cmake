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

# Shell completions, printed by the built program from its option table. The manual page's OPTIONS
# section comes from the same table: the target varnolux_manpage rewrites it in docs/varnolux.1,
# and tst_clidescribe fails while the committed page differs.
set(VARNOLUX_ZSH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/zsh/site-functions"
    CACHE STRING "Where the zsh completion is installed, relative to the prefix")
set(completions "${CMAKE_BINARY_DIR}/completions")
file(MAKE_DIRECTORY "${completions}")
foreach(shell bash zsh fish)
    add_custom_command(OUTPUT "${completions}/varnolux.${shell}"
        COMMAND "${CMAKE_COMMAND}" -DPROGRAM=$<TARGET_FILE:varnolux> -DSHELL_NAME=${shell}
                -DOUTPUT=${completions}/varnolux.${shell} -P "${PROJECT_SOURCE_DIR}/cmake/CommandLineDocs.cmake"
        DEPENDS varnolux "${PROJECT_SOURCE_DIR}/cmake/CommandLineDocs.cmake"
        COMMENT "Writing the ${shell} completion of varnolux" VERBATIM)
endforeach()
add_custom_target(varnolux_completions ALL
    DEPENDS "${completions}/varnolux.bash" "${completions}/varnolux.zsh" "${completions}/varnolux.fish")
add_custom_target(varnolux_manpage
    COMMAND "${CMAKE_COMMAND}" -DPROGRAM=$<TARGET_FILE:varnolux> -DPAGE=${PROJECT_SOURCE_DIR}/docs/varnolux.1
            -P "${PROJECT_SOURCE_DIR}/cmake/CommandLineDocs.cmake"
    DEPENDS varnolux
    COMMENT "Writing the OPTIONS section of docs/varnolux.1" VERBATIM)
install(FILES "${completions}/varnolux.bash" DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME varnolux)
install(FILES "${completions}/varnolux.zsh" DESTINATION ${VARNOLUX_ZSH_COMPLETION_DIR} RENAME _varnolux)
install(FILES "${completions}/varnolux.fish" DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)

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
# --find rendered shows the page in Chromium; without it that one mode says what to install.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "chromium")
set(CPACK_STRIP_FILES ON)
include(CPack)
