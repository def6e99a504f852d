// The bundle manifest: its reader (read once per open, validated) and the
// lookup of member files under their older or canonical names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/le_driver.h"
#include "driver/le_files.h"
#include "kernels/le_paste.h"

namespace le {

// The parsed bundle manifest.
struct Manifest {
  std::string dir;    // resolved bundle directory
  std::string agent;
  int NT = 0;         // target frames
  int H = 0;          // canvas height
  int W = 0;          // canvas width
  int srcW = 0;       // canvas the paste transforms were authored on
  int srcH = 0;
  int crop = 512;     // side of the square face crop
  Unsharp unsharp;
  int frames = 0;     // idle-loop drive frames
  std::string lipTemplate;  // text of lip_template.v1.json, empty if absent
  std::string priorRgb = "P.f16";  // "P_rgb": the raw warp prior the bundle claims to carry
  std::string priorHevc;           // "P_hevc" as written; empty when the manifest names none
  driver::VideoMembers video;      // the driver video and the HEVC prior, names resolved

  // Path of the director graph member "model_{key}.onnx".
  std::string modelPath(const std::string& key) const;
};

// Lexical key scanner over the manifest text. It is not a JSON parser: it
// finds a quoted key followed by a colon at any depth, so a key that occurs
// more than once as a scalar is refused rather than guessed.
namespace manifest_key {

struct KeyHit {
  size_t pos;   // first non-blank byte after the colon
  int depth;    // bracket depth at the key; 1 for the top-level object
  bool scalar;  // the value does not begin with '{' or '['
};

std::vector<KeyHit> keyHits(const std::string& text, const char* key);

// Position of the key's scalar value: the only top-level one, else the only
// one at all; npos when there is none. Throws when it is ambiguous.
size_t scalarValuePos(const std::string& text, const char* key);

// Pointer to the key's scalar value; throws "manifest: missing key ...".
const char* findKey(const std::string& text, const char* key);
// The string value of key (escapes not interpreted).
std::string strField(const std::string& text, const char* key);
// Number under key, else under alias; throws when neither holds one.
double numFieldEither(const std::string& text, const char* key, const char* alias);
// True and the string when key's scalar value is a closed quoted string.
bool optStr(const std::string& text, const char* key, std::string* out);

}  // namespace manifest_key

// Resolves the bundle path (unwrapping a container), reads and validates
// dir/manifest.json.
Manifest loadManifest(const std::string& path);
// The same validation on manifest text already in memory; dir is the bundle
// directory it belongs to (used in messages and for the lip template).
Manifest loadManifestText(const std::string& text, const std::string& dir);

// The canonical name of a bundle member (older names map to newer ones).
std::string canonicalMember(const std::string& name);
// Path of member name in dir: the name as asked, else its canonical name,
// whichever can be opened (the asked name when both or neither can).
std::string resolveMember(const std::string& dir, const std::string& name);

}  // namespace le
