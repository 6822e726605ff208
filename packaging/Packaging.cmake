# Installed layout and the Debian package.
#
#   /usr/bin/                  quellon, quellon-cli, quellon-hostsim
#   /usr/lib/quellon/          libzipdll.so, libunzdll.so, ZipSFX.bin and links to the data
#                              files: the folder the programs treat as "beside the program"
#                              (platform::programDir() turns to it when bin/ has no data)
#   /usr/share/quellon/        the data files (pictures, tgtrls.txt, ACKNOWLE.HLP)
#   /usr/share/applications/, mime/packages/, icons/hicolor/, man/man1/
#
# cmake --build build && (cd build && cpack) builds quellon_VERSION_ARCH.deb.

include(GNUInstallDirs)

set(QUELLON_PKG_LIBDIR "lib/quellon")
set(QUELLON_PKG_DATADIR "${CMAKE_INSTALL_DATADIR}/quellon")

foreach(exe quellon quellon-cli quellon-hostsim)
  if(TARGET ${exe})
    install(TARGETS ${exe} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Loaded with dlopen by their plain names, so no soname links.
foreach(lib zipdll unzdll)
  if(TARGET ${lib})
    install(TARGETS ${lib} LIBRARY DESTINATION ${QUELLON_PKG_LIBDIR} NAMELINK_SKIP)
  endif()
endforeach()

# The self-extractor stub (an ELF program the component copies in front of archives).
if(TARGET zipsfx)
  install(TARGETS zipsfx RUNTIME DESTINATION ${QUELLON_PKG_LIBDIR})
else()
  install(PROGRAMS ${CMAKE_BINARY_DIR}/ZipSFX.bin DESTINATION ${QUELLON_PKG_LIBDIR} OPTIONAL)
endif()

# Data files: the list data/CMakeLists.txt copies beside the binaries.
get_directory_property(QUELLON_PKG_DATA_FILES DIRECTORY ${CMAKE_SOURCE_DIR}/data
  DEFINITION QUELLON_DATA_FILES)
if(NOT QUELLON_PKG_DATA_FILES)
  set(QUELLON_PKG_DATA_FILES
    QuellonSplash.bmp ZipStamp.bmp UnZipStamp.bmp QuellonPoster.bmp tgtrls.txt ACKNOWLE.HLP)
endif()
set(data_paths)
foreach(f ${QUELLON_PKG_DATA_FILES})
  list(APPEND data_paths ${CMAKE_SOURCE_DIR}/data/${f})
endforeach()
install(FILES ${data_paths} DESTINATION ${QUELLON_PKG_DATADIR})
# Relative links, so a tree unpacked anywhere (dpkg -x) works as well as /usr.
foreach(f ${QUELLON_PKG_DATA_FILES})
  install(CODE "
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${QUELLON_PKG_LIBDIR}/${f}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${QUELLON_PKG_LIBDIR}\")
    file(REMOVE \"\${link}\")
    file(CREATE_LINK \"../../${QUELLON_PKG_DATADIR}/${f}\" \"\${link}\" SYMBOLIC)
    message(STATUS \"Linking: \${link}\")")
endforeach()

# Desktop entry, file types and icons.
set(desk ${CMAKE_SOURCE_DIR}/packaging/desktop)
install(FILES ${desk}/quellon.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${desk}/quellon.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
install(DIRECTORY ${desk}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

# Manual pages, compressed as Debian wants them.
find_program(QUELLON_GZIP gzip)
set(man_out)
foreach(page quellon.1 quellon-cli.1 quellon-hostsim.1)
  set(src ${CMAKE_SOURCE_DIR}/man/${page})
  if(QUELLON_GZIP)
    set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${QUELLON_GZIP} -9nc ${src} > ${out}
      DEPENDS ${src}
      COMMENT "Compressing ${page}")
    list(APPEND man_out ${out})
  else()
    list(APPEND man_out ${src})
  endif()
endforeach()
add_custom_target(quellon_man ALL DEPENDS ${man_out})
install(FILES ${man_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellon)
set(CPACK_PACKAGE_VENDOR Tamsholt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quellon maintainers <quellon@tamsholt.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "save and restore IBM i libraries through FTP into zip archives")
# The summary line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Quellon moves IBM i (iSeries, AS/400) libraries and objects between a host
and a PC file. Save has the host save a library or objects into a save file,
downloads it through the host's FTP server and packs it into a zipped save
file (.4ql); restore uploads such an archive, or a bare .savf, and restores
it on a host.

The package holds the desktop wizard (quellon), its command-line twin for
scripts and cron (quellon-cli) and an emulated IBM i FTP host for trying it
without a real machine (quellon-hostsim).")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Depends from the libraries the binaries really link (Qt 6, zlib, libjpeg,
# libwmf, libemf2svg, ...); the zip libraries are searched in their own folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The unzip library reads bzip2, LZMA and zstd members; it is loaded with
# dlopen, so its libraries are named here as well as found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libbz2-1.0, liblzma5, libzstd1")
# The platform plugins for a desktop (xcb) ship with libqt6gui6; the
# desktop entry, file types and icon caches are refreshed by dpkg triggers.
# libwmf draws the text of metafile posters with the URW fonts but only
# recommends them; without them such a poster cannot be shown.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-urw-base35, shared-mime-info, desktop-file-utils")
include(CPack)

# The package as a fresh machine meets it, and the command line as a new user
# meets it.
if(QUELLON_BUILD_TESTS AND EXISTS ${CMAKE_SOURCE_DIR}/tests/packaging/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/packaging ${CMAKE_BINARY_DIR}/tests/packaging)
endif()
