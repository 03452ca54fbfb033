# Installed layout (prefix /usr in the .deb):
#   <prefix>/lib/parvane/parvane, lomadyn.rta, rtnode   the programs, side by side
#   <prefix>/lib/parvane/config/master.ini               ECAT_MASTER_INI_FILE points here;
#                                                        the driver is one folder above
#   <prefix>/bin/parvane, <prefix>/bin/rtnode            links into lib/parvane
#   <prefix>/share/parvane/examples/                     the example ENI and networks
# Without ECAT_MASTER_INI_FILE the tool takes lomadyn.rta from the folder of
# its own executable, which the links resolve to lib/parvane.
include(GNUInstallDirs)
set(PARVANE_LIBEXEC ${CMAKE_INSTALL_LIBDIR}/parvane)
if(CMAKE_INSTALL_LIBDIR MATCHES "^lib/")
    set(PARVANE_LIBEXEC lib/parvane)
endif()

foreach(program parvane lomadyn rtnode)
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
foreach(link parvane rtnode)
    install(CODE "
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        file(CREATE_LINK ../${PARVANE_LIBEXEC}/${link}
             \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${link}\" SYMBOLIC)")
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "parvane maintainers <parvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Checks an EtherCAT network against its ENI file (with a simulated master)")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
