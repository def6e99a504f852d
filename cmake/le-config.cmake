# find_package(le): the imported target le::le, lible.so and the public
# headers; the ONNX Runtime it needs is installed beside the library.
include("${CMAKE_CURRENT_LIST_DIR}/le-targets.cmake")
