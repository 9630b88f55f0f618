# Packages of the installed files: `cpack -G DEB` or `cpack -G TGZ` (plain `cpack`: both) in
# a build directory after building it. The .deb installs under /usr: the program, liblzw.so.1
# with its links, liblzw.a, lzw.h, lzw.pc, the CMake package, the man page, the bash
# completion and the licence; its dependencies are read from the binaries (dpkg-shlibdeps).
# The .tar.gz holds the same tree without a prefix, to unpack anywhere.
include(GNUInstallDirs)

# The licence, where Debian looks for it and where any installation keeps it.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE LZW_LICENSE_TEXT)
file(WRITE ${PROJECT_BINARY_DIR}/copyright
  "lzw ${PROJECT_VERSION}: LZW compressor with 12-bit codes, and its C library.\n"
  "License: MIT (the text follows)\n\n${LZW_LICENSE_TEXT}")
install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES completion/lzw.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME lzw)

set(LZW_PACKAGE_CONTACT "Seed 3cc3e0b6 maintainers <maintainers@users.noreply.c-seed-3cc3e0b6.example>"
  CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME lzw)
set(CPACK_PACKAGE_VENDOR "The lzw authors")
set(CPACK_PACKAGE_CONTACT "${LZW_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LZW compressor with 12-bit codes, and its C library")
set(CPACK_PACKAGE_DESCRIPTION
  "lzw compresses and decompresses one file per run with the LZW algorithm,\n"
  "using 12-bit codes and a dictionary of 4096 codes, in three modes that differ\n"
  "in what a full dictionary does: it stops growing (c1/d1), gives up its least\n"
  "recently used phrase (c2/d2), or is cleared (c3/d3). The same codec is a C\n"
  "library, liblzw, with the header lzw.h, a pkg-config file and a CMake package.\n"
  "Licence: MIT.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # lzw_1.3.0-1_amd64.deb
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/Archiving")

# Per generator, when cpack runs: an archive gets a relocatable lzw.pc (see lzwPc.cmake).
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackOptions.cmake)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
