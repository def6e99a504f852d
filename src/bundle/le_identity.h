// Per-target-frame identity tables (paste transforms, pooled features, the
// warp prior mapped raw or played from HEVC) and the idle-loop drive tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle/le_manifest.h"
#include "driver/le_driver.h"
#include "driver/le_files.h"

namespace le {

// Refuses a bundle that would leave the renderer without a warp prior.
void ensureIdentityMembers(const Manifest& m);

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
