# The codec as a library, without the program's front end (files, signals, console, clock):
# compiled once into position-independent objects, from which come
# the static library (liblzw.a, target lzwcodec, which the program, tests, benchmarks and
# fuzzers link) and the shared one (liblzw.so, target lzwshared). Installed with the C header,
# a CMake package (find_package(lzw CONFIG) -> lzw::lzw, lzw::lzw_static) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

add_library(lzwobjects OBJECT
  codec/run.cpp
  codec/stream.cpp
  codec/dictionary.cpp
  codec/resetting.cpp
  codec/recency.cpp
  codec/evicting.cpp
  codec/checks.cpp
  codec/api.cpp
  frame/frame.cpp
  frame/frame_stream.cpp
  frame/frame_threads.cpp
  frame/frame_api.cpp
  frame/reader.cpp
  codec/version.cpp)
# Checksums come from the xxhash library's header (Debian libxxhash-dev), inlined: the
# library and the program then depend on no other shared library for them.
find_path(LZW_XXHASH_INCLUDE xxhash.h REQUIRED)
target_include_directories(lzwobjects PRIVATE ${LZW_XXHASH_INCLUDE})
# Hidden by default: the shared library exports the lzw_ calls of lzw.h and nothing else, so
# the Coder's layout can change without breaking programs linked against it.
set_target_properties(lzwobjects PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
# codec/ is the core (the Coder and the C interface of raw streams); frame/ the layer above it.
target_include_directories(lzwobjects PUBLIC ${PROJECT_SOURCE_DIR}/codec ${PROJECT_SOURCE_DIR}/frame)
# The one place the version comes from: lzw_version(), and through it `lzw --version`.
target_compile_definitions(lzwobjects PRIVATE LZW_VERSION="${PROJECT_VERSION}")

# Frames code their blocks on std::threads.
find_package(Threads REQUIRED)
target_link_libraries(lzwobjects PUBLIC Threads::Threads)

add_library(lzwcodec STATIC $<TARGET_OBJECTS:lzwobjects>)
target_link_libraries(lzwcodec PUBLIC Threads::Threads)
# Installed, the include directory comes from install(TARGETS ... INCLUDES DESTINATION).
target_include_directories(lzwcodec PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/codec>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/frame>)
set_target_properties(lzwcodec PROPERTIES OUTPUT_NAME lzw EXPORT_NAME lzw_static)
# The codec needs the C++ runtime, which a C++ program's linker brings and a C program's does
# not: lzw::lzw_static names it for the latter (the C++ compiler's own libraries but those every
# C program links).
set(LZW_CXX_RUNTIME ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
list(REMOVE_ITEM LZW_CXX_RUNTIME c gcc gcc_s gcc_eh)
list(REMOVE_DUPLICATES LZW_CXX_RUNTIME)
target_link_libraries(lzwcodec INTERFACE "$<$<LINK_LANGUAGE:C>:${LZW_CXX_RUNTIME}>")

add_library(lzwshared SHARED $<TARGET_OBJECTS:lzwobjects>)
target_include_directories(lzwshared PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/codec>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(lzwshared PRIVATE Threads::Threads)
set_target_properties(lzwshared PROPERTIES
  OUTPUT_NAME lzw
  EXPORT_NAME lzw
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
# Whatever the compiler leaves visible (instantiations of the standard library's templates),
# only the lzw_ calls leave the library.
target_link_options(lzwshared PRIVATE
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/exports.map)
set_property(TARGET lzwshared APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/exports.map)

# Components: "runtime" is what a program linked to liblzw.so.1 needs, "development" what
# building one needs (the Debian packages liblzw1 and liblzw-dev).
install(FILES codec/lzw.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(TARGETS lzwcodec lzwshared EXPORT lzwTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(LZW_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/lzw)
install(EXPORT lzwTargets NAMESPACE lzw:: DESTINATION ${LZW_CMAKE_DIR} COMPONENT development)
configure_package_config_file(cmake/lzwConfig.cmake.in
  ${PROJECT_BINARY_DIR}/lzwConfig.cmake INSTALL_DESTINATION ${LZW_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/lzwConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/lzwConfig.cmake ${PROJECT_BINARY_DIR}/lzwConfigVersion.cmake
  DESTINATION ${LZW_CMAKE_DIR} COMPONENT development)

# lzw.pc is written when it is installed, for the prefix installed to (cmake --install
# --prefix, or DESTDIR under the prefix), with canonical absolute paths: with prefix /usr it
# says -I/usr/include, which pkg-config leaves out as a system directory, and never
# .../pkgconfig/../../include.
install(CODE "
  set(LZW_VERSION [[${PROJECT_VERSION}]])
  set(LZW_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
  set(LZW_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
  set(LZW_PC_TEMPLATE [[${PROJECT_SOURCE_DIR}/cmake/lzw.pc.in]])
  set(LZW_PC_OUTPUT [[${PROJECT_BINARY_DIR}/install/lzw.pc]])
  include([[${PROJECT_SOURCE_DIR}/cmake/lzwPc.cmake]])" COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/install/lzw.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
