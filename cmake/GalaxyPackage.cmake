# The Debian package, made by `cpack -G DEB` from the install rules (scripts/package runs it on
# a Release build): galaxy-viewer_VERSION_ARCH.deb, installed under /usr.
set(CPACK_PACKAGE_NAME galaxy-viewer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "full-screen flight through a 3-D star cloud")
# One string (string(CONCAT)), since a list would reach the control file with ';' between parts.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "galaxy-viewer flies a camera along a fixed circle through a galaxy of stars read from a\n"
    "text file and draws every star in front of it, nearer stars brighter, optionally in the\n"
    "colour of its class.\n"
    "\n"
    "galaxy-render draws the same frames without a screen into PNG pictures or a movie,\n"
    "galaxy-import turns star catalogues (CSV, TSV, ECSV or FITS) into galaxy files, and\n"
    "galaxy-generate writes a sample galaxy.")
set(GALAXY_PACKAGE_MAINTAINER
    "Galaxy viewer maintainers <maintainers@users.noreply.c-seed-ce04195e.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT ${GALAXY_PACKAGE_MAINTAINER})
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The shared libraries the programs link come from dpkg-shlibdeps. The font is opened by path at
# run time, which no linker sees; without it the viewer runs but draws no frame rate.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core")
# galaxy-render --video pipes its frames to ffmpeg; nothing else needs it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ffmpeg")

include(CPack)
