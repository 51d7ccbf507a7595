# What an installation holds besides the programs and the library: the manual pages, the
# documents, and the Debian package built from it all with `cpack -G DEB` (scripts/package).
#
# With KOBRANT_DEBIAN_LAYOUT the documents take Debian's shape (the licence as
# share/doc/kobrant/copyright, the change log compressed as changelog.gz, a Debian change log
# beside it); otherwise they are installed as they are in the source tree.

option(KOBRANT_DEBIAN_LAYOUT "Install the documents as a Debian package expects them" OFF)

if(WIN32)
  # Windows: a zip (cpack -G ZIP) of bin/ (kobrant.exe, kobrant-sim.exe, kobrant-visa.dll),
  # include/kobrant/visa.h, lib/ (the import library kobrant-visa.lib), and the README and
  # licence at its top. No manual pages: Windows has no reader for them.
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME kobrant)
  set(CPACK_PACKAGE_VENDOR "kobrant developers")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME windows-x64)
  else()
    set(CPACK_SYSTEM_NAME windows-x86)
  endif()
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

set(kobrant_contact "kobrant developers <kobrant-devel@lists.kobrant.invalid>")
set(kobrant_docdir ${CMAKE_INSTALL_DATADIR}/doc/kobrant)

# Compresses a file at build time the way Debian wants it (best compression, no name or
# time stamp inside, so the package is the same on every build).
function(kobrant_gzip source output)
  add_custom_command(OUTPUT ${output}
                     COMMAND gzip -9 -n -c ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
endfunction()

set(compressed "")
foreach(page kobrant.1 kobrant-sim.1)
  kobrant_gzip(${PROJECT_SOURCE_DIR}/docs/${page} ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
  list(APPEND compressed ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The udev rules that let a user at the seat (and the plugdev group) open USB instruments
# without root. udev reads /usr/lib/udev/rules.d (the package's place) and /etc/udev/rules.d; an
# installation under another prefix puts them beside its own files, to be copied by hand.
set(KOBRANT_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING "Where the udev rules are installed (relative: under the prefix)")
install(FILES cmake/udev/60-kobrant-usbtmc.rules DESTINATION ${KOBRANT_UDEV_RULES_DIR})
install(FILES README.md DESTINATION ${kobrant_docdir})
if(KOBRANT_DEBIAN_LAYOUT)
  # The machine-readable copyright file carries the licence text, indented, blank lines as " .".
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
  string(STRIP "${license_text}" license_text)
  string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
  string(REGEX REPLACE "\n" "\n " license_text "${license_text}")
  configure_file(cmake/debian/copyright.in copyright @ONLY)
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(cmake/debian/changelog.Debian.in changelog.Debian @ONLY)
  kobrant_gzip(${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
  kobrant_gzip(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  list(APPEND compressed ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
                ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${kobrant_docdir})
else()
  install(FILES LICENSE CHANGELOG.md DESTINATION ${kobrant_docdir})
endif()
add_custom_target(kobrant_compressed_docs ALL DEPENDS ${compressed})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kobrant)
set(CPACK_PACKAGE_VENDOR "kobrant developers")
set(CPACK_PACKAGE_CONTACT "${kobrant_contact}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console tool for test-and-measurement instruments over VISA")
set(CPACK_PACKAGE_DESCRIPTION "kobrant sends a command to one oscilloscope, multimeter, power supply or other
instrument and prints or stores the answer. It carries its own VISA library,
which speaks raw SCPI sockets, VXI-11, HiSLIP, serial lines and USBTMC
itself, so no vendor VISA is needed; an installed vendor VISA is used when
present.

The package also holds kobrant-sim, a simulated instrument for trying scripts
without hardware, and the built-in VISA library as libkobrant-visa.so.0 with
its header and pkg-config file, for programs written against the VISA C API.")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libusb is opened at run time (lib/libusb_on_demand.cpp), which dpkg-shlibdeps cannot see.
if(KOBRANT_LOADS_LIBUSB)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libusb-1.0-0")
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The library cache is refreshed through dpkg's ldconfig trigger. Maintainer scripts of our own
# keep CPack from writing ones that call ldconfig directly.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers
    ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_STRIP_FILES ON)
include(CPack)
