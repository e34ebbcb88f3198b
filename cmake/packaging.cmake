# SPDX-License-Identifier: MIT
# Install rules and packages: a .deb on Linux, a .zip for Windows (the mingw preset), and one
# SHA256SUMS beside the packages that a build makes.
include(GNUInstallDirs)

# The manual pages' .Os line names the version the build files give.
foreach(page ostrapour.1 ostraprune.1)
  configure_file(man/${page}.in man/${page} @ONLY)
endforeach()

set(OSTRAKIT_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_LICENSE ${OSTRAKIT_LICENSE})

if(WIN32)
  # The .zip unpacks to one folder holding the two programs, a short README, the licence and
  # the manual pages for a browser: no bin/, as a Windows user runs the programs from where
  # they were unpacked or puts that folder on PATH.
  install(TARGETS ostrapour ostraprune RUNTIME DESTINATION .)
  # For Notepad and type: CR LF line ends, whatever the checkout has.
  configure_file(packaging/README-windows.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${OSTRAKIT_LICENSE} LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
  # Windows has no man: the pages go along as HTML.
  find_program(OSTRAKIT_MANDOC mandoc)
  if(OSTRAKIT_MANDOC)
    foreach(page ostrapour.1 ostraprune.1)
      set(html ${PROJECT_BINARY_DIR}/man/${page}.html)
      add_custom_command(OUTPUT ${html}
        COMMAND ${OSTRAKIT_MANDOC} -T html ${PROJECT_BINARY_DIR}/man/${page} > ${html}
        DEPENDS ${PROJECT_BINARY_DIR}/man/${page} VERBATIM)
      list(APPEND OSTRAKIT_HTML_PAGES ${html})
    endforeach()
    add_custom_target(html_pages ALL DEPENDS ${OSTRAKIT_HTML_PAGES})
    install(FILES ${OSTRAKIT_HTML_PAGES} DESTINATION .)
  else()
    message(WARNING "mandoc not found (Debian: mandoc): the .zip will lack the manual pages")
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
elseif(OSTRAKIT_STATIC)
  # The static tools as a .tar.gz for any Linux of their processor: one folder holding the two
  # programs, their manual pages as roff, the licence and a short README.
  install(TARGETS ostrapour ostraprune RUNTIME DESTINATION .)
  configure_file(packaging/README-linux.txt.in README @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/ostrapour.1 ${PROJECT_BINARY_DIR}/man/ostraprune.1
                ${PROJECT_BINARY_DIR}/README ${OSTRAKIT_LICENSE} DESTINATION .)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
else()
  install(TARGETS ostrapour ostraprune RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # What dh_strip removes besides the symbols: .comment, where each compiler that built a part
  # of the program (start files and static runtime included) signed it, and a plain .note
  # section should an object bring one. The .note.* sections (build ID, ABI tag, properties)
  # stay.
  if(CMAKE_OBJCOPY)
    install(CODE "
      foreach(tool ostrapour ostraprune)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${tool}\"
          COMMAND_ERROR_IS_FATAL ANY)
      endforeach()")
  endif()

  # Debian keeps manual pages and changelogs compressed; man(1) reads both forms. -n leaves the
  # name and time out of the gzip header, so the same text always gives the same bytes.
  find_program(OSTRAKIT_GZIP gzip)
  set(OSTRAKIT_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})
  foreach(file man/ostrapour.1 man/ostraprune.1 changelog)
    if(file STREQUAL "changelog")
      set(source ${PROJECT_SOURCE_DIR}/packaging/changelog)
      set(destination ${OSTRAKIT_DOC_DIR})
    else()
      set(source ${PROJECT_BINARY_DIR}/${file})
      set(destination ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
    if(OSTRAKIT_GZIP)
      set(packed ${PROJECT_BINARY_DIR}/${file}.gz)
      add_custom_command(OUTPUT ${packed}
        COMMAND ${OSTRAKIT_GZIP} -9n -c ${source} > ${packed}
        DEPENDS ${source} VERBATIM)
      list(APPEND OSTRAKIT_PACKED ${packed})
      install(FILES ${packed} DESTINATION ${destination})
    else()
      install(FILES ${source} DESTINATION ${destination})
    endif()
  endforeach()
  add_custom_target(packed_docs ALL DEPENDS ${OSTRAKIT_PACKED})

  # The changelog's newest entry is the release being built: a package whose version and
  # changelog disagree is refused here rather than by the distribution.
  file(READ packaging/changelog top LIMIT 200)
  string(REGEX MATCH "^[^\n]*" top "${top}")
  if(NOT top MATCHES "^${PROJECT_NAME} \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog begins with \"${top}\", "
                        "not with an entry for ${PROJECT_NAME} ${PROJECT_VERSION}")
  endif()

  # The machine-readable copyright file Debian wants, with the licence text of LICENSE itself.
  file(READ ${OSTRAKIT_LICENSE} text)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" line "${text}")
  set(OSTRAKIT_COPYRIGHT ${CMAKE_MATCH_1})
  string(FIND "${text}" "Permission" start)
  string(SUBSTRING "${text}" ${start} -1 text)
  string(STRIP "${text}" text)
  string(REPLACE "\n\n" "\n.\n" text "${text}")
  string(REPLACE "\n" "\n " OSTRAKIT_LICENSE_TEXT " ${text}")
  configure_file(packaging/copyright.in copyright @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${OSTRAKIT_DOC_DIR})

  # rpmbuild keeps a file's own time when it is older than SOURCE_DATE_EPOCH, and lowers only
  # newer ones to it: a copyright file written by a configure run before the commit would make
  # another .rpm than a fresh checkout does. Every file installed so far takes that date.
  install(CODE [[
    if(DEFINED ENV{SOURCE_DATE_EPOCH} AND CMAKE_INSTALL_MANIFEST_FILES)
      list(TRANSFORM CMAKE_INSTALL_MANIFEST_FILES PREPEND "$ENV{DESTDIR}" OUTPUT_VARIABLE files)
      execute_process(COMMAND touch -h -d @$ENV{SOURCE_DATE_EPOCH} ${files}
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()]])

  set(CPACK_GENERATOR DEB)
  # The RPM beside the .deb, for Fedora, RHEL and their kin, where rpmbuild is at hand (Debian:
  # rpm). Not for cross builds, whose RPMs nobody asked for.
  find_program(OSTRAKIT_RPMBUILD rpmbuild)
  if(OSTRAKIT_RPMBUILD AND NOT CMAKE_CROSSCOMPILING)
    list(APPEND CPACK_GENERATOR RPM)
  endif()
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The ostrakit authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write into and delete files and their named streams")
set(CPACK_PACKAGE_DESCRIPTION
  "ostrapour copies its standard input, byte for byte, into a file or named
stream that already exists, in place from the first byte, never creating
and never shortening it. ostraprune deletes a file, or one named stream of
it. On Linux the stream file:name is the extended attribute user.name of
file, the mapping ntfs-3g uses, so on an NTFS volume mounted by ntfs-3g
they reach the real NTFS streams.")
set(CPACK_STRIP_FILES ON)
# One SHA256SUMS for every package of the run. CPack dates every member of a package by
# SOURCE_DATE_EPOCH when that is set, so one commit packed twice gives the same bytes.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/checksums.cmake)

# A packager sets these for the packages they publish.
set(OSTRAKIT_MAINTAINER "ostrakit maintainers <ostrakit@example.org>" CACHE STRING
  "Maintainer of the packages, as \"Name <address>\"")
set(OSTRAKIT_HOMEPAGE "" CACHE STRING "Homepage field of the .deb; none when empty")
# Read by packaging/windows-installers.sh for the winget and Scoop manifests. "$version" stands for
# the version, as in Scoop's own manifests, so that one entry serves every release.
set(OSTRAKIT_DOWNLOAD_URL "" CACHE STRING
  "Address of the folder a release's files are downloaded from, \$version for the version; empty: a placeholder")
set(CPACK_PACKAGE_CONTACT "${OSTRAKIT_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OSTRAKIT_MAINTAINER}")
if(OSTRAKIT_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${OSTRAKIT_HOMEPAGE}")
endif()

# A cross-built .deb is for the processor the tools are built for. dpkg-shlibdeps cannot read
# the C library of another architecture, which is not installed here: the dependency is read
# from the programs instead when CPack runs (cmake/cpack-project.cmake), as the newest C
# library version that a symbol they import was versioned with.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(OSTRAKIT_DEBIAN_ARCHITECTURES "aarch64=arm64" "i686=i386" "arm=armhf" "x86_64=amd64")
  foreach(pair IN LISTS OSTRAKIT_DEBIAN_ARCHITECTURES)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 processor)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL processor)
      list(GET pair 1 CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    endif()
  endforeach()
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
  endif()
  set(OSTRAKIT_DEPENDS_FROM_PROGRAMS ON)
else()
  # The C library version the binaries need, read from the binaries by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(OSTRAKIT_PROGRAMS ${PROJECT_BINARY_DIR}/ostrapour ${PROJECT_BINARY_DIR}/ostraprune)
find_program(OSTRAKIT_READELF NAMES readelf)
configure_file(cmake/cpack-project.cmake.in cpack-project.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-project.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "attr, ntfs-3g")

# The RPM: rpmlint-clean but for the signature, which publishing adds. Its file list leaves the
# system's directories to the filesystem package, and one commit packed twice gives the same
# bytes: file times, build time and build host come from SOURCE_DATE_EPOCH, not from the clock.
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/File")
# RPM summaries begin with a capital, Debian synopses do not.
set(CPACK_RPM_PACKAGE_SUMMARY "Write into and delete files and their named streams")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_URL "${OSTRAKIT_HOMEPAGE}")
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1 /usr/share/doc)
set(CPACK_RPM_SPEC_MORE_DEFINE
"%define _buildhost reproducible
%define packager ${OSTRAKIT_MAINTAINER}
%define source_date_epoch_from_changelog 0
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none")

include(CPack)
