# cmake --install: lible.so with libonnxruntime.so.1 beside it (the library
# finds the runtime through its $ORIGIN RPATH), the public headers, a CMake
# package (find_package(le) -> le::le) and a pkg-config file. Everything is
# relative to the prefix, so the tree can be installed anywhere and moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Before 1.0 any minor release may change the ABI, so the soname carries it.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(LE_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
else()
  set(LE_SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
set_target_properties(le PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${LE_SOVERSION})

set(LE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/le)
install(TARGETS le EXPORT le-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${LE_ORT_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/le DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

install(EXPORT le-targets NAMESPACE le:: DESTINATION ${LE_CMAKE_DIR})
# 0.x releases are compatible within a minor version only.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/le-config-version.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/le-config.cmake ${PROJECT_BINARY_DIR}/le-config-version.cmake
  DESTINATION ${LE_CMAKE_DIR})

# pkg-config finds the prefix from the .pc file's own place.
file(RELATIVE_PATH LE_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" LE_PC_TO_PREFIX "${LE_PC_TO_PREFIX}")
file(RELATIVE_PATH LE_PC_INCLUDEDIR /prefix /prefix/${CMAKE_INSTALL_INCLUDEDIR})
file(RELATIVE_PATH LE_PC_LIBDIR /prefix /prefix/${CMAKE_INSTALL_LIBDIR})
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/le.pc @ONLY CONTENT [=[
prefix=${pcfiledir}/@LE_PC_TO_PREFIX@
includedir=${prefix}/@LE_PC_INCLUDEDIR@
libdir=${prefix}/@LE_PC_LIBDIR@

Name: le
Description: Real-time talking-avatar rendering on the CPU
Version: @PROJECT_VERSION@
Cflags: -I${includedir}
Libs: -L${libdir} -lle
]=])
install(FILES ${PROJECT_BINARY_DIR}/le.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The command-line tools link the engine statically; they find the ONNX
# Runtime installed above.
file(RELATIVE_PATH LE_BIN_TO_LIB /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set(LE_INSTALLED_TOOLS le-render le-bundle le-info le-keypoints)
set_target_properties(${LE_INSTALLED_TOOLS} PROPERTIES INSTALL_RPATH "$ORIGIN/${LE_BIN_TO_LIB}")
install(TARGETS ${LE_INSTALLED_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
