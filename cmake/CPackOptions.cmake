# Read by cpack once per generator (CPACK_PROJECT_CONFIG_FILE in package.cmake), before it
# installs into its staging directory. An archive has no install prefix: lzw.pc then finds
# the prefix from where it lies (lzwPc.cmake reads this variable during the install).
if(CPACK_GENERATOR MATCHES "^(TGZ|TXZ|TBZ2|TZST|ZIP|7Z|STGZ)$")
  set(ENV{LZW_PC_RELOCATABLE} 1)
else()
  unset(ENV{LZW_PC_RELOCATABLE})
endif()
