# Installation rules and the Debian package (cpack -G DEB): the enlistor executable, its desktop entry and icon,
# the manual page enlistor(1), bash completion, the first-boot unit enlistor-register.service (disabled), the registry
# directory /var/lib/enlistor/registry (root's alone, 0700), and what Debian asks of every package: a copyright file,
# a changelog, lintian overrides with their reasons. Included at the end of the top-level CMakeLists.txt, after every
# target exists. scripts/test-package.sh builds the package and runs lintian on it.
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

# The schema of the --json output (enlistor(1), JSON OUTPUT).
install(FILES ${PROJECT_SOURCE_DIR}/docs/enlistor-output.schema.json DESTINATION ${CMAKE_INSTALL_DATADIR}/enlistor)

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

# Completion for bash, found by bash-completion when "enlistor" is first completed.
install(FILES ${PROJECT_SOURCE_DIR}/res/completion/enlistor
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# Debian's package version: the program's version and the package revision. The changelog's newest entry must name
# it; dpkg-deb and lintian compare them.
set(ENLISTOR_DEBIAN_REVISION 1)
set(ENLISTOR_DEBIAN_VERSION ${PROJECT_VERSION}-${ENLISTOR_DEBIAN_REVISION})
set(enlistor_packaging_dir ${CMAKE_CURRENT_LIST_DIR}/packaging)
set(enlistor_changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian)
configure_file(${enlistor_packaging_dir}/changelog.in ${enlistor_changelog} @ONLY)
add_custom_command(OUTPUT ${enlistor_changelog}.gz
                   COMMAND ${ENLISTOR_GZIP} -9 -n -c ${enlistor_changelog} > ${enlistor_changelog}.gz
                   DEPENDS ${enlistor_changelog} VERBATIM)
add_custom_target(enlistor_changelog ALL DEPENDS ${enlistor_changelog}.gz)
install(FILES ${enlistor_packaging_dir}/copyright ${enlistor_changelog}.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/enlistor)
install(FILES ${enlistor_packaging_dir}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME enlistor)

# The registry's default root, private to root since it holds the stored password. Shipped empty in the package (so
# dpkg knows it); postinst sets owner and mode again and narrows a hive that existed before with wider modes.
install(DIRECTORY DESTINATION /var/lib/enlistor/registry DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME enlistor)
set(CPACK_PACKAGE_VENDOR "Enlistor")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "enters this machine into the control-panel suite's server list")
# Lines of at most 80 columns, as Debian's policy (and lintian) ask; CPack indents each line of the control field.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Enlistor stores the control-panel suite's five database settings (the\n"
    "password encrypted), connects to the suite's database over ODBC and adds\n"
    "this machine to its registered servers unless its address is already known.\n"
    "\n"
    "It runs as a dialog (a Qt window, or a dialog in the terminal over SSH) or\n"
    "unattended for scripts and configuration management: enlistor register,\n"
    "enlistor check and enlistor unregister, with JSON output, an address\n"
    "override for cloud machines and exit codes that name the cause of a failure.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ENLISTOR_DEBIAN_REVISION})
# Debug information stays in the build tree; the package gets stripped executables.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Enlistor maintainers <maintainers@enlistor.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries the executable links (Qt, newt, unixODBC, libmnl...) as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The ODBC drivers the connection maps to: SQL Server through FreeTDS, PostgreSQL, SQLite (the demo database).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "tdsodbc, odbc-postgresql, libsqliteodbc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${enlistor_packaging_dir}/postinst ${enlistor_packaging_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
