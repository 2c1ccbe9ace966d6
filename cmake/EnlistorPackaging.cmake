# Installation rules and the Debian package (cpack -G DEB): the enlistor executable, its desktop entry and icon,
# the manual page enlistor(1), the first-boot unit enlistor-register.service (disabled), and the registry directory /var/lib/enlistor/registry, writable by root only.
# Included at the end of the top-level CMakeLists.txt, after every target exists.
include(GNUInstallDirs)

if(TARGET enlistor)
    install(TARGETS enlistor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The manual page, compressed as Debian installs manual pages.
find_program(ENLISTOR_GZIP gzip REQUIRED)
set(enlistor_man_page ${CMAKE_CURRENT_BINARY_DIR}/enlistor.1.gz)
add_custom_command(OUTPUT ${enlistor_man_page}
                   COMMAND ${ENLISTOR_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/docs/enlistor.1 > ${enlistor_man_page}
                   DEPENDS ${PROJECT_SOURCE_DIR}/docs/enlistor.1 VERBATIM)
add_custom_target(enlistor_man_page ALL DEPENDS ${enlistor_man_page})
install(FILES ${enlistor_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The desktop entry and its icon (32x32, found through the hicolor theme by the entry's Icon=enlistor).
if(EXISTS ${PROJECT_SOURCE_DIR}/res/enlistor.desktop)
    install(FILES ${PROJECT_SOURCE_DIR}/res/enlistor.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/res/enlistor.png)
    install(FILES ${PROJECT_SOURCE_DIR}/res/enlistor.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
endif()

# The first-boot unit, where Debian 12 packages put system units. Shipped disabled: no maintainer script enables or
# starts it; an image's cloud-init does (see enlistor(1), FIRST BOOT).
install(FILES ${PROJECT_SOURCE_DIR}/res/systemd/enlistor-register.service DESTINATION /lib/systemd/system)

# The registry's default root. Shipped empty in the package (so dpkg knows it); postinst sets owner and mode again
# in case the directory existed before with others.
install(DIRECTORY DESTINATION /var/lib/enlistor/registry
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                              WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME enlistor)
set(CPACK_PACKAGE_VENDOR "Enlistor")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "enters this machine into the control-panel suite's server list")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Enlistor stores the control-panel suite's five database settings (the password encrypted), connects to the "
    "suite's database over ODBC and adds this machine to its registered servers unless its address is already "
    "known. It runs as a dialog (Qt window or terminal) or unattended: enlistor register, enlistor check.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Enlistor maintainers <enlistor@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries the executable links (Qt, newt, unixODBC, libmnl...) as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The ODBC drivers the connection maps to: SQL Server through FreeTDS, PostgreSQL, SQLite (the demo database).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "tdsodbc, odbc-postgresql, libsqliteodbc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/packaging/postinst
                                       ${CMAKE_CURRENT_LIST_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
