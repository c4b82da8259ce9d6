# Installation: the programs, a manual page for each made from its own --help, and the README
# with the pictures and pages it links to.
#
# galaxy-generate is installed with the others: the viewer shows nothing without a galaxy.dat,
# and the sample galaxy it writes is the one way to a first flight without a star catalogue.
include(GNUInstallDirs)

option(GALAXY_MANUALS "Make the manual pages with help2man" ON)

set(GALAXY_PROGRAMS galaxy-viewer galaxy-render galaxy-import galaxy-generate)
set(GALAXY_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/galaxy-viewer)

install(TARGETS ${GALAXY_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${GALAXY_DOC_DIR})
install(DIRECTORY docs/ DESTINATION ${GALAXY_DOC_DIR}/docs PATTERN man EXCLUDE)

if(GALAXY_MANUALS)
    find_program(GALAXY_HELP2MAN help2man)
    find_program(GALAXY_GZIP gzip REQUIRED)
    if(NOT GALAXY_HELP2MAN)
        message(FATAL_ERROR
            "help2man not found: scripts/deps installs it, or configure with -DGALAXY_MANUALS=OFF")
    endif()
    include(${CMAKE_CURRENT_LIST_DIR}/GalaxyManuals.cmake)
    galaxy_manual(galaxy-viewer "fly through a 3-D star cloud, full screen")
    galaxy_manual(galaxy-render "draw the galaxy viewer's frames without a screen")
    galaxy_manual(galaxy-import "turn a star catalogue into a galaxy file")
    galaxy_manual(galaxy-generate "write a sample galaxy file")
    add_custom_target(manuals ALL DEPENDS ${GALAXY_MANUAL_PAGES})
    install(FILES ${GALAXY_MANUAL_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
