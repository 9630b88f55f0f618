# Packages of the installed files: `cpack -G DEB` or `cpack -G TGZ` (plain `cpack`: both) in
# a build directory after building it.
# - The .debs install under /usr, one per component group, as Debian splits a library:
#   lzw (the program, its man page, the bash completion), liblzw1 (liblzw.so.1 and its
#   version) and liblzw-dev (lzw.h, the liblzw.so link, liblzw.a, lzw.pc, the CMake package).
#   Each carries its copyright file and Debian changelog; liblzw1 carries its shlibs file and
#   refreshes the library cache by the ldconfig trigger, with no maintainer scripts.
# - The .tar.gz holds what `cmake --install` installs, without a prefix, to unpack anywhere.
include(GNUInstallDirs)

# The licence, where Debian looks for it and where any installation keeps it.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE LZW_LICENSE_TEXT)
file(WRITE ${PROJECT_BINARY_DIR}/copyright
  "lzw ${PROJECT_VERSION}: LZW compressor with 12-bit codes, and its C library.\n"
  "License: MIT (the text follows)\n\n${LZW_LICENSE_TEXT}")
install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT program)
install(FILES completion/lzw.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME lzw COMPONENT program)

# The maintainer: the project itself, under the name its licence gives and the address its
# commits carry. Whoever rebuilds the packages for a distribution names themselves here.
set(LZW_PACKAGE_CONTACT "lzw developers <maintainers@users.noreply.c-seed-3cc3e0b6.example>"
  CACHE STRING "Maintainer named in the packages")

# What only the .debs hold (EXCLUDE_FROM_ALL: `cmake --install` and the archive leave it out):
# the man page and the changelog compressed as Debian wants them (gzip -9n: no name, no time,
# so two builds give the same bytes), and the documents of the two library packages.
set(LZW_DEB_DIR ${PROJECT_BINARY_DIR}/debian)
# The changelog's entries are signed by the maintainer the packages name.
configure_file(cmake/debian/changelog.in ${LZW_DEB_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${LZW_DEB_DIR}/lzw.1.gz ${LZW_DEB_DIR}/changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/lzw.1 ${LZW_DEB_DIR}/lzw.1
  COMMAND ${CMAKE_COMMAND} -E copy ${LZW_DEB_DIR}/changelog ${LZW_DEB_DIR}/changelog.Debian
  COMMAND gzip -9nf ${LZW_DEB_DIR}/lzw.1 ${LZW_DEB_DIR}/changelog.Debian
  DEPENDS ${PROJECT_SOURCE_DIR}/lzw.1 ${LZW_DEB_DIR}/changelog
  VERBATIM)
add_custom_target(lzwdebfiles ALL DEPENDS ${LZW_DEB_DIR}/lzw.1.gz ${LZW_DEB_DIR}/changelog.Debian.gz)
configure_file(cmake/debian/shlibs.in ${LZW_DEB_DIR}/liblzw1/shlibs @ONLY)
configure_file(cmake/debian/triggers ${LZW_DEB_DIR}/liblzw1/triggers COPYONLY)

install(FILES ${LZW_DEB_DIR}/lzw.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT program-deb EXCLUDE_FROM_ALL)
foreach(package_component IN ITEMS lzw:program liblzw1:runtime liblzw-dev:development)
  string(REPLACE ":" ";" package_component ${package_component})
  list(GET package_component 0 package)
  list(GET package_component 1 component)
  set(files ${LZW_DEB_DIR}/changelog.Debian.gz)
  if(NOT package STREQUAL "lzw")  # lzw's copyright is the one every installation has
    list(APPEND files ${PROJECT_BINARY_DIR}/copyright)
  endif()
  install(FILES ${files} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component}-deb EXCLUDE_FROM_ALL)
  # Each reason is written in the file.
  install(FILES cmake/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    RENAME ${package} COMPONENT ${component}-deb EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_PACKAGE_NAME lzw)
set(CPACK_PACKAGE_VENDOR "The lzw authors")
set(CPACK_PACKAGE_CONTACT "${LZW_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_STRIP_FILES ON)

# Components by package; CPackOptions.cmake picks, per generator, the ones it packs.
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
foreach(group_components IN ITEMS "program:program,manual,program-deb"
    "runtime:runtime,runtime-deb" "development:development,development-deb")
  string(REGEX REPLACE ":.*" "" group "${group_components}")
  string(REGEX REPLACE ".*:" "" components "${group_components}")
  string(REPLACE "," ";" components "${components}")
  foreach(component IN LISTS components)
    string(TOUPPER "${component}" component)
    set(CPACK_COMPONENT_${component}_GROUP ${group})
  endforeach()
endforeach()
set(CPACK_LZW_DEB_COMPONENTS program program-deb runtime runtime-deb development development-deb)
set(CPACK_LZW_ARCHIVE_COMPONENTS program manual runtime development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Debian's paths (the library in /usr/lib/<multiarch>/) come from configuring for /usr.
set(CPACK_LZW_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # lzw_1.3.0-1_amd64.deb, liblzw1_1.3.0-1_amd64.deb, ...
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(lzw_deb_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
# The first line is the synopsis, which Debian wants short and not starting with the name;
# the lines below it stay under 80 columns.
set(lzw_about_modes
  "It uses 12-bit codes and a dictionary of 4096 codes, in three modes that differ
in what a full dictionary does: it stops growing (c1/d1), gives up its least
recently used phrase (c2/d2), or is cleared (c3/d3).")
set(lzw_about_library
  "liblzw is the codec of the lzw compressor as a C library, for buffers and for
streams through callbacks; it writes the same bytes as the program.
${lzw_about_modes}")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME lzw)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "file compressor with 12-bit LZW codes
The lzw command compresses or decompresses one file per run with the LZW
algorithm.
${lzw_about_modes}")
# Read from the program: the C library (the C++ runtime is linked in).
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liblzw${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "LZW codec with 12-bit codes - shared library
${lzw_about_library}

This package holds the shared library.")
# cpack's own dependency scan would also add maintainer scripts that call ldconfig, which the
# trigger replaces: CPackOptions.cmake reads the library's dependencies instead.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${LZW_DEB_DIR}/liblzw1/shlibs ${LZW_DEB_DIR}/liblzw1/triggers)
set(CPACK_LZW_SHARED_LIBRARY ${PROJECT_BINARY_DIR}/liblzw.so.${PROJECT_VERSION})

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME liblzw-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "LZW codec with 12-bit codes - development files
${lzw_about_library}

This package holds the header lzw.h, the static library, a pkg-config file and
a CMake package (find_package(lzw CONFIG)).")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "liblzw${PROJECT_VERSION_MAJOR} (= ${lzw_deb_version})")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)

set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/Archiving")

# Per generator, when cpack runs: the components it packs, the library's dependencies, and
# for an archive a relocatable lzw.pc (see lzwPc.cmake).
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackOptions.cmake)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
