// The donor bank's sidecar checks on arbitrary text: the input up to its
// first NUL is the sidecar, the rest (when there is a NUL) the manifest. It
// may refuse, never crash; what it accepts is a bank that can be laid out:
// a donor order that is a permutation, arrays of the stated count, a stored
// patch the stamp sizes, a stated pixel format, and a reorder that writes
// every donor from its own track frame.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_tessera_members.h"

namespace {

// Banks above this are checked without the reorder, which would only copy
// more of the same.
constexpr uint64_t kMaxReorderBytes = 1 << 20;

void checkAccepted(const le::TesseraAttachInputs& in) {
  const size_t n = static_cast<size_t>(in.n_donors);
  if (in.n_donors < 1 || in.n_donors > 1024 || in.track_order.size() != n || in.cent.size() != 2 * n ||
      in.aperture.size() != n)
    __builtin_trap();
  std::vector<bool> seen(n, false);
  for (const int32_t t : in.track_order) {
    if (t < 0 || static_cast<size_t>(t) >= n || seen[static_cast<size_t>(t)]) __builtin_trap();
    seen[static_cast<size_t>(t)] = true;
  }
  const auto& s = in.stamp;
  const int64_t margin = 2 * int64_t{s[11]};
  if (in.band_h != int64_t{s[8]} - s[7] + margin || in.band_w != int64_t{s[10]} - s[9] + margin || in.band_w < 1 ||
      in.band_h < 1)
    __builtin_trap();
  if (in.bank_pix_fmt.empty() || in.bank_container.empty() || in.bank_packing.empty()) __builtin_trap();

  const uint64_t bytes = in.bandBytes();
  if (bytes > kMaxReorderBytes) return;
  const size_t frame = static_cast<size_t>(bytes) / n;
  std::vector<uint8_t> track(bytes), bank(bytes, 0xFF);
  for (size_t i = 0; i < n; ++i) std::fill(track.begin() + i * frame, track.begin() + (i + 1) * frame, i % 251);
  le::reorderTrackToDonor(in, track.data(), bank.data());
  for (size_t i = 0; i < n; ++i) {
    const size_t d = static_cast<size_t>(in.track_order[i]) * frame;
    if (bank[d] != i % 251 || bank[d + frame - 1] != i % 251) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  le::TesseraAttachInputs in;
  in.manifest_json = split == std::string::npos ? R"({"format": "le-bundle-v0"})" : input.substr(split + 1);
  try {
    le::readTesseraSidecar(input.substr(0, split), "tessera_bank.v1.json", "bundle/manifest.json", "bundle", in);
  } catch (const std::runtime_error&) {
    return 0;
  }
  checkAccepted(in);
  return 0;
}
