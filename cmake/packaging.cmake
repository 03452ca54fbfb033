# Installed layout (prefix /usr in the .deb):
#   <prefix>/lib/parvane/parvane, lomadyn.rta, rtnode,  the programs, side by side
#     parvane-scan
#   <prefix>/lib/parvane/config/master.ini               ECAT_MASTER_INI_FILE points here;
#                                                        the driver is one folder above
#   <prefix>/bin/parvane, <prefix>/bin/parvane-rtnode,  links into lib/parvane (the node
#     <prefix>/bin/parvane-scan                          utility with the project's prefix)
#   <prefix>/share/parvane/examples/                     the example ENI and networks
#   <prefix>/share/man/man1/                             parvane.1, parvane-rtnode.1, lomadyn.rta.1,
#                                                        parvane-scan.1
#   <prefix>/share/doc/parvane/                          copyright, changelog, README, docs/
#   <prefix>/share/bash-completion/completions/          parvane, parvane-rtnode, parvane-scan
# Without ECAT_MASTER_INI_FILE the tool takes lomadyn.rta from the folder of
# its own executable, which the links resolve to lib/parvane.
include(GNUInstallDirs)
set(PARVANE_LIBEXEC ${CMAKE_INSTALL_LIBDIR}/parvane)
if(CMAKE_INSTALL_LIBDIR MATCHES "^lib/")
    set(PARVANE_LIBEXEC lib/parvane)
endif()
set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)

foreach(program parvane lomadyn rtnode parvane-scan)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${PARVANE_LIBEXEC})
    endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/examples/config/master.ini
        DESTINATION ${PARVANE_LIBEXEC}/config)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/parvane/examples
        PATTERN CMakeLists.txt EXCLUDE
        PATTERN config EXCLUDE)
# <link in bin> <program in lib/parvane>
foreach(pair "parvane;parvane" "parvane-rtnode;rtnode" "parvane-scan;parvane-scan")
    list(GET pair 0 link)
    list(GET pair 1 program)
    install(CODE "
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        file(CREATE_LINK ../${PARVANE_LIBEXEC}/${program}
             \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${link}\" SYMBOLIC)")
endforeach()

# Man pages, generated at build time from packaging/man/*.scd by scdoc and
# compressed the way Debian wants them (gzip -9n: no name, no time stamp).
find_program(PARVANE_SCDOC scdoc)
find_program(PARVANE_GZIP gzip)
set(man_pages parvane.1 parvane-rtnode.1 lomadyn.rta.1 parvane-scan.1)
if(PARVANE_SCDOC AND PARVANE_GZIP)
    set(man_outputs)
    foreach(page ${man_pages})
        set(source ${packaging_dir}/man/${page}.scd)
        set(output ${CMAKE_BINARY_DIR}/man/${page}.gz)
        add_custom_command(
            OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND ${PARVANE_SCDOC} < ${source} > ${CMAKE_BINARY_DIR}/man/${page}
            COMMAND ${PARVANE_GZIP} -9nf ${CMAKE_BINARY_DIR}/man/${page}
            DEPENDS ${source}
            COMMENT "Generating the man page ${page}"
            VERBATIM)
        list(APPEND man_outputs ${output})
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${man_outputs})
    install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    message(WARNING "scdoc or gzip not found: no man pages (scripts/install-deps.sh installs scdoc)")
endif()

# The documentation folder: copyright, the compressed changelog, the README and
# the docs/ it links to (same relative place, so its links work installed).
set(changelog_gz ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_command(
    OUTPUT ${changelog_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
    COMMAND ${PARVANE_GZIP} -9nc ${packaging_dir}/changelog > ${changelog_gz}
    DEPENDS ${packaging_dir}/changelog
    VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${changelog_gz})
install(FILES ${packaging_dir}/copyright ${changelog_gz} ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(FILES ${packaging_dir}/completion/parvane
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${packaging_dir}/completion/parvane
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME parvane-rtnode)
install(FILES ${packaging_dir}/completion/parvane-scan
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The package's prerm stops a running driver before its program goes.
set(PARVANE_DRIVER_PATH /usr/${PARVANE_LIBEXEC}/lomadyn.rta)
configure_file(${packaging_dir}/prerm.in ${CMAKE_BINARY_DIR}/debian/prerm @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "parvane maintainers <parvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "checks an EtherCAT network against its ENI file")
# The long description; CPack puts the summary line before it and indents it.
set(CPACK_PACKAGE_DESCRIPTION
    "parvane makes sure the master driver runs with the ENI file it is given,
compares the slave count and each slave's identity with the ENI, drives the
network to Operational and back to Init, and prints a fixed report. Result
files in JSON and JUnit XML serve scripts and CI servers.

The package brings the master driver (lomadyn.rta, with emulated slaves),
the node utility parvane-rtnode, and parvane-scan, which writes the ENI of
a live network or says where it differs from one.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
