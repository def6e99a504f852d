// The mouth borrow's four bundle members: where they are (the carriage),
// the refusal of a bundle that lacks any of them, and the reading and
// cross-checking of all four into the record the borrow pass is built from.
// The borrow is a switch: all four present arms it, anything less refuses
// the bundle. Every disagreement between the halves of a bundle is refused,
// never repaired.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bundle/le_manifest.h"

namespace le {

// Slot keys in slot order: bank_track, bank_sidecar, head_weights,
// head_config.
const std::array<const char*, 4>& tesseraSlotKeys();
int tesseraSlotCount();
// Index of a slot key, -1 for anything else.
int tesseraSlotIndex(const std::string& key);

// One string per slot, by slot number or by slot key.
struct TesseraSlotStrings {
  std::array<std::string, 4> at;

  std::string& operator[](size_t slot) { return at[slot]; }
  const std::string& operator[](size_t slot) const { return at[slot]; }
  // Throws "teeth: no such member slot '{slot}'" for an unknown key.
  const std::string& operator()(const std::string& slot) const;
};

// The four member file names, starting from the defaults
// tessera_bank.v1.mp4, tessera_bank.v1.json, tessera_head.v1.pt and
// tessera_head.v1.json.
struct TesseraSlots : TesseraSlotStrings {
  TesseraSlots();
};

struct TesseraCarriage {
  TesseraSlots name;                 // member file names (defaults, or as the manifest names them)
  TesseraSlotStrings path;           // each name resolved in the bundle; path("head_config") by key
  bool complete = false;             // no slot is missing
  std::vector<std::string> missing;  // keys of the slots whose file cannot be opened, in slot order
  bool declared = false;             // the manifest carries a `tessera` object
  std::vector<std::string> planes;   // string elements of manifest.tessera.planes
};

// The refusal of a bundle that does not carry all four members.
class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& what, std::vector<std::string> keys)
      : std::runtime_error(what), missing(std::move(keys)) {}
  std::vector<std::string> missing;  // the carriage's missing slot keys
};

// Where the members of the bundle (a directory or container) are;
// a manifest that is absent or unreadable leaves the default names. Throws
// only what resolving the path throws. The manifest overload uses the
// directory the manifest was read from.
TesseraCarriage tesseraCarriage(const std::string& bundle);
TesseraCarriage tesseraCarriage(const Manifest& manifest);

// Returns when the carriage is complete; else throws MissingTesseraMember
// naming every missing member.
void requireTesseraMembers(const TesseraCarriage& carriage);

// The members read and cross-checked. cent and aperture are per donor; the
// stamp holds canvas_w, canvas_h, window_x0, window_y0, window_w, window_h, pad,
// band_r0, band_r1, band_c0, band_c1, shift_margin.
struct TesseraAttachInputs {
  int32_t n_donors = 0;
  std::vector<int32_t> track_order;  // donor of each bank track frame, a permutation of 0..N-1
  std::vector<double> cent;          // x, y per donor
  std::array<double, 2> c_canon{};   // the bank's canonical centre, x, y
  std::vector<double> aperture;      // one per donor
  std::array<int32_t, 12> stamp{};
  std::vector<uint8_t> head_pt;  // the weight file's bytes
  std::string head_json;
  std::string manifest_json;
  std::string bank_track_path;  // not read here
  std::string bank_container;
  std::string bank_codec;
  std::string bank_pix_fmt;  // never empty once loaded
  std::string bank_packing;
  int32_t band_w = 0, band_h = 0;  // one stored donor patch, RGB

  // Bytes of the whole bank: N stored patches of band_h x band_w x 3.
  uint64_t bandBytes() const;
};

// Reads and checks all four members of the bundle; throws
// MissingTesseraMember or std::runtime_error naming the disagreement.
TesseraAttachInputs loadTesseraMembers(const std::string& bundle);
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

// The checks of the loader on texts already in memory: the sidecar text
// (member file sidecar_name) against in.manifest_json (read from
// manifest_path; dir is the bundle directory, named in one message). Fills
// every field of in but the four file-backed ones.
void readTesseraSidecar(const std::string& sidecar_text, const std::string& sidecar_name,
                        const std::string& manifest_path, const std::string& dir, TesseraAttachInputs& in);

// Copies the decoded bank track (frames of band_h x band_w x 3 bytes, in
// track order) into donor order: track frame i lands at donor
// track_order[i]. inputs must be as the loader returned them.
void reorderTrackToDonor(const TesseraAttachInputs& inputs, const uint8_t* src, uint8_t* dst);

}  // namespace le
