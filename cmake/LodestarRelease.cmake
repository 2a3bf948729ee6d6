# Release packages, made by cpack from what `cmake --install` puts in place (scripts/release):
#   Windows build:  lodestar-<version>-win64.zip: lodestar-pack.exe, the library and its headers,
#                   the CMake package, README and licence
#   Linux build:    lodestar_<version>_amd64.deb and lodestar-<version>-linux-x86_64.tar.gz: the
#                   native lodestar-pack, the CMake package for lodestar_add_installer, README and
#                   licence; the .deb names the Debian packages lodestar-pack needs (libmsi)
set(CPACK_PACKAGE_NAME lodestar)
set(CPACK_PACKAGE_VENDOR "The Lodestar authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${PROJECT_HOMEPAGE_URL}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME lodestar-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR "DEB;TGZ")
  set(CPACK_PACKAGE_FILE_NAME lodestar-${PROJECT_VERSION}-linux-x86_64)
  set(CPACK_STRIP_FILES ON)
  # The .deb installs under /usr; the archive unpacks anywhere, bin/ and lib/ at its top.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/LodestarCPackGenerators.cmake)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Lodestar authors <lodestar@lodestar.example>")
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Self-contained MSI launchers for 64-bit Windows
 lodestar-pack turns a Windows Installer package, with the cabinets and files it needs beside it,
 into one setup.exe that installs, repairs, extracts and removes it. It runs natively, without
 Wine, and carries the launcher stub it writes. lodestar_add_installer() packs from CMake.")
  # The libraries lodestar-pack links (libmsi, GLib), read from the binary by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
