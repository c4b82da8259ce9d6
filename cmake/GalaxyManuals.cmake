# galaxy_manual(PROGRAM SUMMARY [NO_VERSION_OPTION]): the manual page of one program, section 1,
# made by help2man from its --help (and --version) at build time, so the page never falls
# behind the options. docs/man/PROGRAM.h2m adds what --help does not say. NO_VERSION_OPTION is
# for a program without --version: the project's version is given to help2man instead.
# The pages are gzip-compressed (-n: no name or time stamp inside, so builds compare equal), as
# Debian keeps them. Appends each page to GALAXY_MANUAL_PAGES.
function(galaxy_manual program summary)
    cmake_parse_arguments(PARSE_ARGV 2 manual "NO_VERSION_OPTION" "" "")
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    set(extra ${PROJECT_SOURCE_DIR}/docs/man/${program}.h2m)
    set(version_argument)
    if(manual_NO_VERSION_OPTION)
        set(version_argument --version-string=${PROJECT_VERSION})
    endif()
    # Run with no display at all: --help and --version must never need one. The leak checker
    # of sanitized builds reads the tests' suppressions.
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
            "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp"
            ${GALAXY_HELP2MAN} --no-info --section=1 --name=${summary} --include=${extra}
                ${version_argument} --output=${page} $<TARGET_FILE:${program}>
        COMMAND ${GALAXY_GZIP} -9nf ${page}
        DEPENDS ${program} ${extra}
        COMMENT "Manual page of ${program}"
        VERBATIM)
    set(GALAXY_MANUAL_PAGES ${GALAXY_MANUAL_PAGES} ${page}.gz PARENT_SCOPE)
endfunction()
