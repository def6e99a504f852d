// IMX unwrap of arbitrary container bytes into a scratch root: it may
// refuse, never crash, and never write outside the output directory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "bundle/le_imx.h"

namespace {

namespace fs = std::filesystem;

struct Scratch {
  std::string base, root, container;
  Scratch() {
    std::string tmpl = fs::temp_directory_path().string() + "/le-fuzz-imx-XXXXXX";
    if (!mkdtemp(tmpl.data())) std::abort();
    base = tmpl;
    root = base + "/root";
    container = base + "/in/fuzz.imx";
    fs::create_directories(base + "/in");
    setenv("LE_IMX_UNWRAP_ROOT", root.c_str(), 1);
  }
  ~Scratch() { fs::remove_all(base); }
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

// Number of entries under dir, links not followed.
size_t countEntries(const std::string& dir) {
  size_t n = 0;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scratch& s = scratch();
  fs::remove_all(s.root);
  fs::create_directories(s.root);
  {
    std::ofstream f(s.container, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    le::unwrapOnce(s.container);
  } catch (const std::runtime_error&) {
  }
  // Only the output directory, its marker and its lock file may appear in
  // the root, and nothing besides the container in its own directory.
  const le::UnwrapTarget t = le::unwrapTarget(s.container);
  for (const auto& e : fs::directory_iterator(s.root))
    if (e.path() != t.dir && e.path() != t.marker && e.path() != t.lock) __builtin_trap();
  if (countEntries(s.base + "/in") != 1) __builtin_trap();
  return 0;
}
