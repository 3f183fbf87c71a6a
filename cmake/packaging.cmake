# What the Debian package holds beyond the programs' own install rules, and
# how CPack makes it: tts-tarnwick_<version>-1_amd64.deb, its dependencies
# computed from the binaries, no maintainer scripts (dpkg's triggers refresh
# the desktop, MIME and icon caches).
include(GNUInstallDirs)

set(packaging ${PROJECT_SOURCE_DIR}/tools/packaging)
set(staged ${PROJECT_BINARY_DIR}/packaging)
set(doc ${CMAKE_INSTALL_DATADIR}/doc/tts-tarnwick)

configure_file(${PROJECT_SOURCE_DIR}/ui/resources/com.example.ttstarnwick.metainfo.xml ${staged}/com.example.ttstarnwick.metainfo.xml @ONLY)
install(FILES ${staged}/com.example.ttstarnwick.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Compressed as Debian wants them: gzip -9 -n, so that the bytes never depend on the day.
find_program(GZIP gzip REQUIRED)
foreach(page tts-tarnwick tts-tarnwick-cli)
  configure_file(${packaging}/${page}.1.in ${staged}/${page}.1 @ONLY)
  execute_process(COMMAND ${GZIP} -9 -n -f -k ${staged}/${page}.1)
  install(FILES ${staged}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
configure_file(${packaging}/changelog.in ${staged}/changelog.Debian @ONLY)
execute_process(COMMAND ${GZIP} -9 -n -f -k ${staged}/changelog.Debian)
install(FILES ${staged}/changelog.Debian.gz ${packaging}/copyright DESTINATION ${doc})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tts-tarnwick)
set(CPACK_PACKAGE_VENDOR "The TTS_Tarnwick developers")
set(CPACK_PACKAGE_CONTACT "The TTS_Tarnwick developers <packages@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "change how a navigation voice reads street abbreviations")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A navigation device speaks street names with a text-to-speech voice file,
whose abbreviation table decides, for example, that 'St' is read as 'Saint'.
TTS_Tarnwick opens such a voice file (a .vpm disk image, or a .rgn container
that wraps one) and rewrites chosen runs of that table in place, so that 'St'
is read 'Street', 'Dr' 'Drive', and so on.
.
This package holds the window (tts-tarnwick) and the command line
(tts-tarnwick-cli).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://example.com/tarnwick)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A voice file is recognised by its type as soon as shared-mime-info is there.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, desktop-file-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
