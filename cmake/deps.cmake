# Third-party dependencies, all from Debian's archive except ONNX Runtime
# (scripts/install-deps puts it in LE_ORT_PREFIX).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
pkg_check_modules(HWY REQUIRED IMPORTED_TARGET libhwy)
pkg_check_modules(KISSFFT REQUIRED IMPORTED_TARGET kissfft-float)
# The tools read any audio file and resample it to 16 kHz mono, or speak a
# text with espeak-ng.
pkg_check_modules(SWRESAMPLE REQUIRED IMPORTED_TARGET libswresample)
pkg_check_modules(ESPEAK REQUIRED IMPORTED_TARGET espeak-ng)

set(LE_ORT_LIB ${LE_ORT_PREFIX}/lib/libonnxruntime.so.1)
if(NOT EXISTS ${LE_ORT_LIB} OR NOT EXISTS ${LE_ORT_PREFIX}/include/onnxruntime_cxx_api.h)
  message(FATAL_ERROR "ONNX Runtime not found in ${LE_ORT_PREFIX}; run scripts/install-deps")
endif()
# Copied beside lible.so: the library is tied to this exact runtime.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
file(COPY ${LE_ORT_LIB} DESTINATION ${CMAKE_BINARY_DIR}/lib)
add_library(onnxruntime SHARED IMPORTED)
set_target_properties(onnxruntime PROPERTIES
  IMPORTED_LOCATION ${CMAKE_BINARY_DIR}/lib/libonnxruntime.so.1
  IMPORTED_SONAME libonnxruntime.so.1
  INTERFACE_INCLUDE_DIRECTORIES ${LE_ORT_PREFIX}/include)
# Third-party headers are not ours to keep warning-free.
set_target_properties(onnxruntime PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${LE_ORT_PREFIX}/include)

add_library(le_stb INTERFACE)
target_include_directories(le_stb SYSTEM INTERFACE /usr/include/stb)
add_library(le::stb ALIAS le_stb)

add_library(le_deps INTERFACE)
target_link_libraries(le_deps INTERFACE PkgConfig::FFMPEG PkgConfig::HWY PkgConfig::KISSFFT onnxruntime Threads::Threads le::stb)
add_library(le::deps ALIAS le_deps)
