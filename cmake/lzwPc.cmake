# Run by `cmake --install`, from the install(CODE) of library.cmake: writes LZW_PC_OUTPUT
# from LZW_PC_TEMPLATE for the prefix being installed to, before it is copied to
# lib/pkgconfig. Every path is absolute and canonical (no "..", no "//"), so pkg-config gives
# -I/usr/include for prefix /usr (and then leaves it out) and -I/opt/x/include for /opt/x.

# The directory `dir` (relative to the prefix, or absolute) as an absolute canonical path.
function(lzw_pc_path out dir prefix)
  if(NOT IS_ABSOLUTE "${dir}")
    set(dir "${prefix}/${dir}")
  endif()
  cmake_path(SET dir NORMALIZE "${dir}")
  if(NOT dir STREQUAL "/")
    string(REGEX REPLACE "/+$" "" dir "${dir}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "")
  set(prefix "/")  # cmake_install.cmake strips the trailing slash, so "/" arrives empty
elseif(NOT IS_ABSOLUTE "${prefix}")
  get_filename_component(prefix "${prefix}" ABSOLUTE)
endif()
lzw_pc_path(LZW_PC_PREFIX "${prefix}" "/")
lzw_pc_path(LZW_PC_LIBDIR "${LZW_LIBDIR}" "${LZW_PC_PREFIX}")
lzw_pc_path(LZW_PC_INCLUDEDIR "${LZW_INCLUDEDIR}" "${LZW_PC_PREFIX}")
configure_file("${LZW_PC_TEMPLATE}" "${LZW_PC_OUTPUT}" @ONLY)
