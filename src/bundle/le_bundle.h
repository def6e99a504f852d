// Avatar bundle: the manifest reader, member lookup, the shared file
// readers of the bundle members, and the identity and drive tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace le {

class DriverCursor;

// Unsharp mask of the paste compositor.
struct Unsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  int ksize = 13;
};

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

// True when path can be opened for reading.
bool canOpen(const std::string& path);
// The whole file ("cannot open " / "short read " + path on failure).
std::string readFile(const std::string& path);

// A read-only memory mapping of a whole member file.
struct MappedFile {
  const uint8_t* data = nullptr;
  size_t len = 0;

  MappedFile() = default;
  MappedFile(MappedFile&& o) noexcept : data(o.data), len(o.len) { o.data = nullptr, o.len = 0; }
  MappedFile& operator=(MappedFile&& o) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();
  bool empty() const { return data == nullptr; }
};

// Maps path read-only; its size must be exactly len.
MappedFile mapFile(const std::string& path, size_t len);
// The whole file, read in pieces until end of file ("cannot open " + path).
std::string readText(const std::string& path);
// Exactly n elements of T: a shorter or longer file is "size mismatch ".
template <typename T>
std::vector<T> readRaw(const std::string& path, size_t n);

// Refuses a bundle that would leave the renderer without a warp prior.
// Returns the path of its P_hevc member when that is the only prior it
// carries (no P.f16 nor fs_red.f16), else "".
std::string ensureIdentityMembers(const Manifest& m);

// Per-target-frame tables: paste transforms, pooled features and the warp
// prior (mapped raw halves, or an HEVC video decoded on demand).
class Identity {
 public:
  explicit Identity(const Manifest& m);
  ~Identity();
  Identity(Identity&&) noexcept;
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  const uint8_t* pooled64(int i) const { return pooled.data + static_cast<size_t>(i) * 131072; }
  const uint8_t* P(int i);
  const uint8_t* fsRed(int i) const { return fsred.data + static_cast<size_t>(i) * 524288; }
  const float* M(int i) const { return m.data() + static_cast<size_t>(i) * 6; }
  void walkP(int i);
  DriverCursor* prior();
  std::string priorBackend();
  size_t priorResidentBytes();
  uint64_t priorSeeks();
  void rescaleM(const Manifest& mf);

  int nt;
  int crop;
  MappedFile pooled;
  MappedFile prgb;
  MappedFile fsred;
  std::vector<float> m;
  std::string priorPath;
  Manifest manifest;

 private:
  std::unique_ptr<std::once_flag> priorOnce = std::make_unique<std::once_flag>();
  std::unique_ptr<DriverCursor> priorCursor;
};

// Idle-loop drive tables: per drive frame the target frame it shows and the
// source and driven keypoints (63 floats each).
struct Drive {
  std::vector<float> xs;
  std::vector<float> xd;
  std::vector<int32_t> si;
  int frames = 0;
};

Drive loadDrive(const Manifest& m);

}  // namespace le
