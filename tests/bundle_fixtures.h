// Scratch directories, small file and error helpers and a bundle's mouth-borrow
// members, shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "borrow/bank_decode.h"
#include "bundle/le_manifest.h"
#include "bundle/le_unified_pi.h"
#include "driver/le_files.h"

namespace le::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base && *base ? base : "/tmp") + "/le-bundle-test-XXXXXX";
    if (!mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// The text of the std::runtime_error fn throws, or "(no error)".
template <class Fn>
std::string errorOf(Fn&& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

// What fn writes to stderr.
template <class Fn>
std::string stderrOf(Fn&& fn) {
  ::testing::internal::CaptureStderr();
  fn();
  return ::testing::internal::GetCapturedStderr();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A JSON object of (key, raw value text) fields with edits applied in order:
// a key set to "" is dropped, a key it lacks is appended.
using JsonFields = std::vector<std::pair<std::string, std::string>>;
inline std::string jsonObject(JsonFields fields, const JsonFields& edits) {
  for (const auto& e : edits) {
    auto it = std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return f.first == e.first; });
    if (e.second.empty())
      fields.erase(it);
    else
      it == fields.end() ? fields.push_back(e) : void(it->second = e.second);
  }
  std::string out = "{";
  for (const auto& [k, v] : fields) out += (out.size() > 1 ? ",\n \"" : "\"") + k + "\": " + v;
  return out + "}\n";
}

inline std::string readAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Every regular file under dir, by relative path, with its bytes.
inline std::map<std::string, std::string> filesUnder(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out[std::filesystem::relative(e.path(), dir).generic_string()] = readAll(e.path());
  return out;
}

// A bundle's mouth-borrow members as the engine reads them, the bank decoded
// into donor order, and the bundle's template keypoints (63 floats a frame).
struct BorrowMembers {
  explicit BorrowMembers(const std::string& bundle)
      : in(le::loadTesseraMembers(bundle)),
        bank(le::tessera::bankFromMembers(in)),
        keypoints(le::readFloats(le::resolveMember(bundle, "xs_target.bin"))) {}
  le::tessera::HeadWeights head() const { return le::tessera::loadHeadPt(in.head_pt); }
  le::tessera::ServeConfig config() const { return le::tessera::ServeConfig::fromHeadMemberJson(in.head_json); }
  int frames() const { return static_cast<int>(keypoints.size() / 63); }
  const float* kp(int i) const { return keypoints.data() + 63 * static_cast<size_t>(i % frames()); }
  // The geometry the corpus match picks by the bank's canonical centre.
  le::tessera::UnifiedPi corpusPi(std::string* detail = nullptr) const {
    return le::tessera::UnifiedPi::corpusFromManifestJson(in.manifest_json, bank.stamp.canvas_w, keypoints.data(),
                                                          frames(), bank.c_canon, detail);
  }

  le::TesseraAttachInputs in;
  le::tessera::BankData bank;
  std::vector<float> keypoints;
};

}  // namespace le::test
