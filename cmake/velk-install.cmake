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
  velktoolcli-sofa2tf)

set(VELK_GENCONFIG_TSP_PATH /usr/share/velk/16384.little_endian.wav)
set(VELK_INSTALLED_TSP_PATH ${CMAKE_INSTALL_FULL_DATADIR}/velk/16384.little_endian.wav)
if(NOT VELK_INSTALLED_TSP_PATH STREQUAL VELK_GENCONFIG_TSP_PATH)
  message(STATUS "velk: the reference TSP installs as ${VELK_INSTALLED_TSP_PATH}; "
                 "velktoolcli-genconfig's default TSP path is ${VELK_GENCONFIG_TSP_PATH}, "
                 "so pass --tsp-path ${VELK_INSTALLED_TSP_PATH} to it")
endif()

foreach(prog ${VELK_PROGRAMS})
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  set(page ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/${prog}.1)
  if(EXISTS ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  # bash-completion loads completions by command name: one copy of the
  # shared script per program.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/completion/velk.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME ${prog})
endforeach()

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
    "Twelve command-line programs that produce, convert and check acoustic\n\
transfer functions of a microphone array: position lists, configuration\n\
and neighbour documents, transfer functions from impulse responses, TSP\n\
recordings, mouth-TSP recordings or the geometry alone, archive checks,\n\
a diagnosis of the measurement against its own geometry, coordinate\n\
tables for plotting and converters for older files.")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
