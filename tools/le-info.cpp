// Prints what this build of the engine links and runs on.
#include <onnxruntime_c_api.h>

#include <cstdio>
#include <cstring>

#include "driver/le_driver.h"
#include "kernels/le_pool.h"
#include "kernels/le_simd.h"
#include "le/le.h"

int main(int argc, char** argv) {
  if (argc > 1) {
    const bool help = argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
    if (!help) std::fputs("le-info: takes no arguments\n", stderr);
    std::fputs("usage: le-info\nPrints the versions of the engine and the libraries it runs on, and its SIMD target.\n",
               help ? stdout : stderr);
    return help ? 0 : 2;
  }
  std::printf("le %s\n", le_version());
  std::printf("onnxruntime %s (API %d)\n", OrtGetApiBase()->GetVersionString(), ORT_API_VERSION);
  std::printf("%s\n", le::movieDecoderBuild().c_str());
  std::printf("simd target: %s\n", le::simd::target());
  std::printf("simd compiled targets:");
  for (const auto& t : le::simd::compiledTargets()) std::printf(" %s", t.c_str());
  std::printf("\n");
  std::printf("pool threads: %d\n", le::pool::threads());
  return 0;
}
