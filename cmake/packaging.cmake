# Install rules and packages: a .deb on Linux, a .zip for Windows (the mingw preset).
include(GNUInstallDirs)

# The manual pages' .Os line names the version the build files give.
foreach(page ostrapour.1 ostraprune.1)
  configure_file(man/${page}.in man/${page} @ONLY)
endforeach()

if(WIN32)
  # The .zip unpacks to one folder holding the two programs and a short README: no bin/, as a
  # Windows user runs them from where they were unpacked or puts that folder on PATH.
  install(TARGETS ostrapour ostraprune RUNTIME DESTINATION .)
  # For Notepad and type: CR LF line ends, whatever the checkout has.
  configure_file(packaging/README-windows.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS ostrapour ostraprune RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Debian keeps manual pages compressed; man(1) reads both forms. -n leaves the name and time
  # out of the gzip header, so the same page always gives the same bytes.
  find_program(OSTRAKIT_GZIP gzip)
  foreach(page ostrapour.1 ostraprune.1)
    set(source ${PROJECT_BINARY_DIR}/man/${page})
    if(OSTRAKIT_GZIP)
      set(packed ${PROJECT_BINARY_DIR}/man/${page}.gz)
      add_custom_command(OUTPUT ${packed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${OSTRAKIT_GZIP} -9n -c ${source} > ${packed}
        DEPENDS ${source} VERBATIM)
      list(APPEND OSTRAKIT_MAN_PAGES ${packed})
    else()
      list(APPEND OSTRAKIT_MAN_PAGES ${source})
    endif()
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${OSTRAKIT_MAN_PAGES})
  install(FILES ${OSTRAKIT_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME ostrakit)
set(CPACK_PACKAGE_VENDOR "ostrakit")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write into and delete files and their named streams")
set(CPACK_PACKAGE_DESCRIPTION
  "ostrapour copies its standard input, byte for byte, into a file or named
stream that already exists, in place from the first byte, never creating
and never shortening it. ostraprune deletes a file, or one named stream of
it. On Linux the stream file:name is the extended attribute user.name of
file, the mapping ntfs-3g uses, so on an NTFS volume mounted by ntfs-3g
they reach the real NTFS streams.")
set(CPACK_PACKAGE_CONTACT "ostrakit maintainers <ostrakit@example.org>" CACHE STRING
  "Maintainer of the packages, as \"Name <address>\"")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The C library version the binaries need, read from the binaries by dpkg-shlibdeps (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "attr, ntfs-3g")

include(CPack)
