# Read by cpack once per generator (CPACK_PROJECT_CONFIG_FILE in package.cmake), before it
# installs into its staging directory.
if(CPACK_GENERATOR STREQUAL "DEB")
  unset(ENV{LZW_PC_RELOCATABLE})
  set(CPACK_COMPONENTS_ALL ${CPACK_LZW_DEB_COMPONENTS})
  if(NOT CPACK_LZW_INSTALL_PREFIX STREQUAL "/usr")
    message(WARNING "This build is configured for ${CPACK_LZW_INSTALL_PREFIX}: its .debs put "
      "the library in /usr/lib, not in Debian's /usr/lib/<multiarch>. Configure a build with "
      "-DCMAKE_INSTALL_PREFIX=/usr for them (as scripts/check-package.sh does).")
  endif()
  # liblzw1's dependencies, as dpkg-shlibdeps reads them from the library (cpack's own scan
  # would come with maintainer scripts calling ldconfig). It wants a debian/control to read.
  set(scan ${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps)
  file(MAKE_DIRECTORY ${scan}/debian)
  file(WRITE ${scan}/debian/control "Source: lzw\n\nPackage: liblzw1\nArchitecture: any\n")
  execute_process(COMMAND dpkg-shlibdeps -O -e "${CPACK_LZW_SHARED_LIBRARY}"
    WORKING_DIRECTORY ${scan}
    OUTPUT_VARIABLE depends RESULT_VARIABLE failed ERROR_VARIABLE errors)
  if(failed OR NOT depends MATCHES "shlibs:Depends=([^\n]+)")
    message(FATAL_ERROR "dpkg-shlibdeps on ${CPACK_LZW_SHARED_LIBRARY} failed: ${errors}")
  endif()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
  file(REMOVE_RECURSE ${scan})
else()
  set(CPACK_COMPONENTS_ALL ${CPACK_LZW_ARCHIVE_COMPONENTS})
  # An archive has no install prefix: lzw.pc then finds the prefix from where it lies
  # (lzwPc.cmake reads this variable during the install).
  if(CPACK_GENERATOR MATCHES "^(TGZ|TXZ|TBZ2|TZST|ZIP|7Z|STGZ)$")
    set(ENV{LZW_PC_RELOCATABLE} 1)
  else()
    unset(ENV{LZW_PC_RELOCATABLE})
  endif()
endif()
