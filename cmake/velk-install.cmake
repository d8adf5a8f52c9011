# Installation and the Debian package.
#
#   cmake --install build                     programs, manual pages, TSP, docs
#   DESTDIR=/tmp/stage cmake --install build  the same under a staging root
#   cd build && cpack -G DEB                  velk_<version>_<arch>.deb
#
# velktoolcli-genconfig writes /usr/share/velk/16384.little_endian.wav as the
# default TSP path of every configuration, so the install prefix defaults to
# /usr, where the reference TSP lands at exactly that path.  Another prefix
# works as well, but configurations then need --tsp-path naming the file
# under that prefix.

set(VELK_PROGRAMS
  velktool5
  velktoolcli-zip2coord
  velktoolcli-genposxml
  velktoolcli-validtf
  velktoolcli-validxml
  velktoolcli-flt2multiwav
  velktoolcli-genconfig
  velktoolcli-genneighbors
  velktoolcli-mergexmls
  velktoolcli-conv-tf
  velktoolcli-conv-sm
  velktoolcli-diagnose
  velktoolcli-tfexport
  velktoolcli-sofa2tf
  velktoolcli-simulate)

set(VELK_GENCONFIG_TSP_PATH /usr/share/velk/16384.little_endian.wav)
set(VELK_INSTALLED_TSP_PATH ${CMAKE_INSTALL_FULL_DATADIR}/velk/16384.little_endian.wav)
if(NOT VELK_INSTALLED_TSP_PATH STREQUAL VELK_GENCONFIG_TSP_PATH)
  message(STATUS "velk: the reference TSP installs as ${VELK_INSTALLED_TSP_PATH}; "
                 "velktoolcli-genconfig's default TSP path is ${VELK_GENCONFIG_TSP_PATH}, "
                 "so pass --tsp-path ${VELK_INSTALLED_TSP_PATH} to it")
endif()

# Manual pages are installed compressed, as Debian keeps them: gzip -9n
# (no name or time stamp inside, so a page compresses to the same bytes on
# every build).
find_program(VELK_GZIP gzip REQUIRED)
set(VELK_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(VELK_MAN_PAGES)
foreach(prog ${VELK_PROGRAMS})
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  set(page ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/${prog}.1)
  if(EXISTS ${page})
    add_custom_command(OUTPUT ${VELK_MAN_DIR}/${prog}.1.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${VELK_MAN_DIR}
      COMMAND ${CMAKE_COMMAND} -E copy ${page} ${VELK_MAN_DIR}/${prog}.1
      COMMAND ${VELK_GZIP} -9nf ${VELK_MAN_DIR}/${prog}.1
      DEPENDS ${page}
      VERBATIM)
    list(APPEND VELK_MAN_PAGES ${VELK_MAN_DIR}/${prog}.1.gz)
    install(FILES ${VELK_MAN_DIR}/${prog}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  # bash-completion loads completions by command name: one copy of the
  # shared script per program.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/completion/velk.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME ${prog})
endforeach()


# The package's copyright file and its changelog, compressed as the manual
# pages are.
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/changelog.in
               ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND ${VELK_GZIP} -9nkf ${CMAKE_BINARY_DIR}/debian/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(velk_compressed_docs ALL
  DEPENDS ${VELK_MAN_PAGES} ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/copyright
              ${CMAKE_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(DEFINED VELK_REFERENCE_TSP)
  install(FILES ${VELK_REFERENCE_TSP} DESTINATION ${CMAKE_INSTALL_DATADIR}/velk)
endif()

# The documentation keeps the layout of the source tree, so that the links of
# the README (docs/..., examples/...) hold where it is installed.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES docs/formats.md docs/tutorial.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(DIRECTORY docs/images DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(DIRECTORY examples DESTINATION ${CMAKE_INSTALL_DOCDIR}
        USE_SOURCE_PERMISSIONS)

# "make install" and cpack install what the build made; they do not build the
# whole tree again first (build, then install or package).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Debian package: the runtime libraries the programs link are found by
# dpkg-shlibdeps (package dpkg-dev) and become the Depends line.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "velk developers <velk-devel@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "velk developers <velk-devel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "transfer functions for microphone-array audition")
set(CPACK_PACKAGE_DESCRIPTION
    "Fifteen command-line programs that produce, convert, check and diagnose\n\
acoustic transfer functions of a microphone array: position lists,\n\
configuration and neighbour documents, transfer functions from impulse\n\
responses, TSP recordings, mouth-TSP recordings or the geometry alone,\n\
archive checks, a diagnosis of the measurement against its own geometry,\n\
coordinate tables for plotting, converters for older files, export to\n\
SOFA (GeneralTF), MAT and NumPy files, import of SOFA impulse responses\n\
and transfer functions, and a simulator of measurements in a shoebox room.")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
