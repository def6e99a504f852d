// What the command-line tools share: FFmpeg's error texts, the bundle
// directory behind a path, and the shape of their main(): a usage error prints the reason and the usage on stderr and
// exits 2, --help prints the usage on stdout, a failure prints one line and
// exits 1.
#pragma once

extern "C" {
#include <libavutil/error.h>
}

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/le_bundle.h"

namespace le::tool {

inline std::string avError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

// Throws "what: FFmpeg's reason" for a negative FFmpeg result.
inline void check(int err, const std::string& what) {
  if (err < 0) throw std::runtime_error(what + ": " + avError(err));
}

// The directory a bundle path stands for (a container is unpacked).
inline std::string bundleDir(const std::string& bundle) {
  std::vector<char> dir(4096);
  if (le_bundle_resolve_handle(bundle.c_str(), dir.data(), dir.size()) != 1)
    throw std::runtime_error(*le_last_error() ? le_last_error() : "cannot resolve bundle " + bundle);
  return dir.data();
}

// parse(argc, argv) returns the options (with a bool help) or throws
// std::invalid_argument; run(options) returns the exit status.
template <class Parse, class Run>
int runMain(const char* name, const char* usage, int argc, char** argv, Parse parse, Run run) {
  decltype(parse(argc, argv)) options;
  try {
    options = parse(argc, argv);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "%s: %s\n%s", name, e.what(), usage);
    return 2;
  }
  if (options.help) {
    std::fputs(usage, stdout);
    return 0;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", name, e.what());
    return 1;
  }
}

}  // namespace le::tool
