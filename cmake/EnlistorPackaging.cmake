# Installation rules and the packages, from one build: two Debian packages (cpack -G DEB) and the same two as RPMs
# (cpack -G RPM).
#   enlistor      the program (command line and terminal dialog; no Qt), its manual page enlistor(1), bash
#                 completion, the first-boot unit enlistor-register.service (disabled), the registry directory
#                 /var/lib/enlistor/registry (root's alone, 0700);
#   enlistor-gui  the window module the program loads where a display is set (lib/enlistor/window/enlistor-window.so,
#                 see platform/ui/WindowModule.h), its desktop entry and icon; it needs the same version of enlistor.
# Each Debian package carries what Debian asks of every package: a copyright file, a changelog and lintian
# overrides with their reasons. Included at the end of the top-level CMakeLists.txt, after every target exists.
# scripts/test-package.sh builds the packages, checks them (lintian, rpmlint) and installs them.
include(GNUInstallDirs)

if(TARGET enlistor)
    install(TARGETS enlistor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT enlistor)
endif()
if(TARGET enlistor_window)
    # The program finds its window at <bindir>/../lib/enlistor/window: the path is fixed, not GNUInstallDirs' libdir.
    # Two levels below /usr/lib, since for a library one level below CPack adds ldconfig calls (this module is no
    # library ldconfig should know).
    install(TARGETS enlistor_window LIBRARY DESTINATION lib/enlistor/window COMPONENT gui)
endif()

# The manual page, compressed as Debian installs manual pages.
find_program(ENLISTOR_GZIP gzip REQUIRED)
set(enlistor_man_page ${CMAKE_CURRENT_BINARY_DIR}/enlistor.1.gz)
add_custom_command(OUTPUT ${enlistor_man_page}
                   COMMAND ${ENLISTOR_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/docs/enlistor.1 > ${enlistor_man_page}
                   DEPENDS ${PROJECT_SOURCE_DIR}/docs/enlistor.1 VERBATIM)
add_custom_target(enlistor_man_page ALL DEPENDS ${enlistor_man_page})
install(FILES ${enlistor_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT enlistor)

# The schema of the --json output (enlistor(1), JSON OUTPUT).
install(FILES ${PROJECT_SOURCE_DIR}/docs/enlistor-output.schema.json DESTINATION ${CMAKE_INSTALL_DATADIR}/enlistor
        COMPONENT enlistor)

# The desktop entry and its icon (32x32, found through the hicolor theme by the entry's Icon=enlistor), with the
# window.
if(TARGET enlistor_window)
    install(FILES ${PROJECT_SOURCE_DIR}/res/enlistor.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
            COMPONENT gui)
    install(FILES ${PROJECT_SOURCE_DIR}/res/enlistor.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps COMPONENT gui)
endif()

# The first-boot unit, shipped disabled: no maintainer script enables or starts it; an image's cloud-init does (see
# enlistor(1), FIRST BOOT). /usr/lib/systemd/system is systemd's package directory on RPM systems and on Debian 12
# (merged /usr), so one path serves both packages.
install(FILES ${PROJECT_SOURCE_DIR}/res/systemd/enlistor-register.service DESTINATION lib/systemd/system
        COMPONENT enlistor)

# Completion for bash, found by bash-completion when "enlistor" is first completed.
install(FILES ${PROJECT_SOURCE_DIR}/res/completion/enlistor
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT enlistor)

# Debian's package version: the program's version and the package revision. The changelog's newest entry must name
# it; dpkg-deb and lintian compare them. Each package has its own documentation directory with both files.
set(ENLISTOR_DEBIAN_REVISION 1)
set(ENLISTOR_DEBIAN_VERSION ${PROJECT_VERSION}-${ENLISTOR_DEBIAN_REVISION})
set(enlistor_packaging_dir ${CMAKE_CURRENT_LIST_DIR}/packaging)
set(enlistor_packages enlistor)
if(TARGET enlistor_window)
    list(APPEND enlistor_packages enlistor-gui)
endif()
set(enlistor_package_component_enlistor enlistor)
set(enlistor_package_component_enlistor-gui gui)
set(enlistor_package_overrides_enlistor lintian-overrides)
set(enlistor_package_overrides_enlistor-gui lintian-overrides-gui)
foreach(package IN LISTS enlistor_packages)
    set(component ${enlistor_package_component_${package}})
    set(changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/${package}/changelog.Debian)
    configure_file(${enlistor_packaging_dir}/changelog.in ${changelog} @ONLY)
    add_custom_command(OUTPUT ${changelog}.gz COMMAND ${ENLISTOR_GZIP} -9 -n -c ${changelog} > ${changelog}.gz
                       DEPENDS ${changelog} VERBATIM)
    add_custom_target(enlistor_changelog_${component} ALL DEPENDS ${changelog}.gz)
    install(FILES ${enlistor_packaging_dir}/copyright ${changelog}.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    install(FILES ${enlistor_packaging_dir}/${enlistor_package_overrides_${package}}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package} COMPONENT ${component})
endforeach()

# The registry's default root, private to root since it holds the stored password. Shipped empty in the package (so
# the package manager knows it); the post-installation script sets owner and mode again and narrows a hive that
# existed before with wider modes.
install(DIRECTORY DESTINATION /var/lib/enlistor/registry DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
        COMPONENT enlistor)

# The maintainer scripts: the registry's directories are set up by one fragment, shared by both package formats.
file(READ ${enlistor_packaging_dir}/registry-dirs.sh ENLISTOR_REGISTRY_DIRS)
set(enlistor_scripts_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging/scripts)
configure_file(${enlistor_packaging_dir}/postinst.in ${enlistor_scripts_dir}/deb/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                WORLD_EXECUTE)
configure_file(${enlistor_packaging_dir}/postrm ${enlistor_scripts_dir}/deb/postrm COPYONLY)
configure_file(${enlistor_packaging_dir}/rpm-post.in ${enlistor_scripts_dir}/rpm/post @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME enlistor)
set(CPACK_PACKAGE_VENDOR "Enlistor")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL enlistor)
if(TARGET enlistor_window)
    list(APPEND CPACK_COMPONENTS_ALL gui)
endif()
set(CPACK_COMPONENT_ENLISTOR_DISPLAY_NAME enlistor)
set(CPACK_COMPONENT_GUI_DISPLAY_NAME enlistor-gui)
set(CPACK_COMPONENT_GUI_DEPENDS enlistor)
# Each package's summary and description. The one package-wide summary is left at CPack's own default (its value
# written out here, since project(DESCRIPTION) would replace it): CPack puts any other summary before both Debian
# descriptions, the window's too. Lines of at most 80 columns, as Debian's policy (and lintian) ask; CPack indents
# each line of the control field.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(enlistor_summary_enlistor "enters this machine into the control-panel suite's server list")
set(enlistor_summary_gui "desktop window for enlistor")
string(CONCAT CPACK_COMPONENT_ENLISTOR_DESCRIPTION
    "Enlistor stores the control-panel suite's five database settings (the\n"
    "password encrypted), connects to the suite's database over ODBC and adds\n"
    "this machine to its registered servers unless its address is already known.\n"
    "\n"
    "It runs as a dialog in the terminal (over SSH) or unattended for scripts\n"
    "and configuration management: enlistor register, enlistor check and\n"
    "enlistor unregister, with JSON output, an address override for cloud\n"
    "machines and exit codes that name the cause of a failure. The package\n"
    "enlistor-gui adds the dialog as a desktop window.")
string(CONCAT CPACK_COMPONENT_GUI_DESCRIPTION
    "The registration dialog of enlistor as a Qt window, with its desktop entry\n"
    "and icon. enlistor opens it when a display is available, and shows the\n"
    "dialog in the terminal otherwise.")
set(CPACK_DEBIAN_ENLISTOR_DESCRIPTION "${enlistor_summary_enlistor}\n${CPACK_COMPONENT_ENLISTOR_DESCRIPTION}")
set(CPACK_DEBIAN_GUI_DESCRIPTION "${enlistor_summary_gui}\n${CPACK_COMPONENT_GUI_DESCRIPTION}")
# RPM summaries begin with a capital letter, Debian's with a small one.
set(CPACK_RPM_ENLISTOR_PACKAGE_SUMMARY "Enters this machine into the control-panel suite's server list")
set(CPACK_RPM_GUI_PACKAGE_SUMMARY "Desktop window for enlistor")

# Debian: one package per component.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENLISTOR_PACKAGE_NAME enlistor)
set(CPACK_DEBIAN_GUI_PACKAGE_NAME enlistor-gui)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ENLISTOR_DEBIAN_REVISION})
# Both come from one source, named in each package's control file and changelog.
set(CPACK_DEBIAN_PACKAGE_SOURCE enlistor)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Enlistor maintainers <maintainers@enlistor.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries each package's binaries link (newt, unixODBC, libmnl...; Qt for the window) as dpkg-shlibdeps finds
# them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The ODBC driver the suite's providers map to (SQL Server through FreeTDS) is recommended. The drivers for data
# sources an operator sets up (PostgreSQL, SQLite for the demo database) are suggested, with the window: on a
# minimal system the PostgreSQL driver alone would bring Kerberos, LDAP and SASL libraries (more than a dozen
# packages) to servers that never use it.
set(CPACK_DEBIAN_ENLISTOR_PACKAGE_RECOMMENDS "tdsodbc")
# The libraries the program loads when it first needs them (cmake/EnlistorRuntimeLibraries.cmake: libssl, newt,
# slang) are in no ELF file's dependencies, so dpkg-shlibdeps and rpmbuild miss them: each is named here, for Debian
# by the package that ships it on the build machine with the version its shlibs file asks (as dpkg-shlibdeps would
# name it), for RPM by its soname.
get_property(enlistor_runtime_sonames GLOBAL PROPERTY ENLISTOR_RUNTIME_SONAMES)
set(enlistor_runtime_depends "")
set(enlistor_runtime_requires "")
find_program(ENLISTOR_DPKG_QUERY dpkg-query)
foreach(soname IN LISTS enlistor_runtime_sonames)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        list(APPEND enlistor_runtime_requires "${soname}()(64bit)")
    else()
        list(APPEND enlistor_runtime_requires "${soname}")
    endif()
    if(NOT ENLISTOR_DPKG_QUERY)
        continue()
    endif()
    execute_process(COMMAND ${ENLISTOR_DPKG_QUERY} -S "*/${soname}" OUTPUT_VARIABLE owners ERROR_QUIET)
    string(REGEX MATCH "(^|\n)(([a-z0-9.+-]+)(:[a-z0-9]+)?): [^\n]*/${soname}(\n|$)" owner_line "${owners}")
    if(NOT CMAKE_MATCH_3)
        message(FATAL_ERROR "no Debian package is found that ships ${soname}")
    endif()
    set(dependency ${CMAKE_MATCH_3})
    execute_process(COMMAND ${ENLISTOR_DPKG_QUERY} --control-path ${CMAKE_MATCH_2} shlibs
                    OUTPUT_VARIABLE shlibs_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    string(REGEX MATCH "^(.+)\\.so\\.(.+)$" soname_parts "${soname}")
    set(library_name ${CMAKE_MATCH_1})
    set(library_version ${CMAKE_MATCH_2})
    if(shlibs_file AND EXISTS "${shlibs_file}")
        file(STRINGS "${shlibs_file}" shlibs_lines REGEX "^${library_name} ${library_version} ")
        if(shlibs_lines)
            list(GET shlibs_lines 0 shlibs_line)
            string(REGEX REPLACE "^${library_name} ${library_version} " "" dependency "${shlibs_line}")
        endif()
    endif()
    list(APPEND enlistor_runtime_depends "${dependency}")
endforeach()
list(JOIN enlistor_runtime_depends ", " CPACK_DEBIAN_ENLISTOR_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_ENLISTOR_PACKAGE_SUGGESTS "enlistor-gui, odbc-postgresql, libsqliteodbc")
# The window module is built for exactly this program: the same version, not a newer one.
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "enlistor (= ${ENLISTOR_DEBIAN_VERSION})")
set(CPACK_DEBIAN_ENLISTOR_PACKAGE_CONTROL_EXTRA ${enlistor_scripts_dir}/deb/postinst ${enlistor_scripts_dir}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# RPM: the same two packages. Requirements are the libraries' sonames as rpmbuild finds them (plus the exact
# enlistor for the window); the packages own only their own files and directories, never the system's.
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_RPM_ENLISTOR_PACKAGE_NAME enlistor)
set(CPACK_RPM_GUI_PACKAGE_NAME enlistor-gui)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE ${ENLISTOR_DEBIAN_REVISION})
set(CPACK_RPM_PACKAGE_LICENSE "Proprietary")
set(CPACK_RPM_PACKAGE_URL "https://enlistor.example/")
set(CPACK_RPM_ENLISTOR_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_GUI_PACKAGE_GROUP "Applications/System")
# No /usr/lib/.build-id links: the packages would own that tree's directories.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager Enlistor maintainers <maintainers@enlistor.example>
%define _build_id_links none")
# Directories the packages make are 0755 whatever the umask of the build; the registry keeps its own 0700 (in the
# file list below).
set(CPACK_RPM_DEFAULT_DIR_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                      WORLD_EXECUTE)
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
set(CPACK_RPM_PACKAGE_AUTOPROV OFF)
set(CPACK_RPM_ENLISTOR_PACKAGE_SUGGESTS "enlistor-gui")
set(CPACK_RPM_ENLISTOR_PACKAGE_RECOMMENDS "unixODBC")
set(CPACK_RPM_GUI_PACKAGE_REQUIRES "enlistor = ${PROJECT_VERSION}-${ENLISTOR_DEBIAN_REVISION}")
# The libraries loaded at run time (see the Debian dependencies above).
list(JOIN enlistor_runtime_requires ", " CPACK_RPM_ENLISTOR_PACKAGE_REQUIRES)
set(CPACK_RPM_ENLISTOR_POST_INSTALL_SCRIPT_FILE ${enlistor_scripts_dir}/rpm/post)
set(CPACK_RPM_ENLISTOR_POST_UNINSTALL_SCRIPT_FILE ${enlistor_packaging_dir}/rpm-postun)
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /lib /var /var/lib /usr/lib/systemd /usr/lib/systemd/system /usr/share/man /usr/share/man/man1
    /usr/share/bash-completion /usr/share/bash-completion/completions /usr/share/applications /usr/share/icons
    /usr/share/icons/hicolor /usr/share/icons/hicolor/32x32 /usr/share/icons/hicolor/32x32/apps /usr/share/lintian
    /usr/share/lintian/overrides)
# Debian's own files (the changelog in Debian's format, lintian's overrides) stay out of the RPMs.
set(CPACK_RPM_ENLISTOR_USER_FILELIST "%dir %attr(0700,root,root) /var/lib/enlistor/registry"
                                     "%exclude /usr/share/lintian/overrides/enlistor"
                                     "%exclude /usr/share/doc/enlistor/changelog.Debian.gz")
set(CPACK_RPM_GUI_USER_FILELIST "%exclude /usr/share/lintian/overrides/enlistor-gui"
                                "%exclude /usr/share/doc/enlistor-gui/changelog.Debian.gz")
include(CPack)
