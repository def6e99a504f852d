// Opened fixture bundles and their idle-loop keypoints for the renderer tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bundle/le_identity.h"
#include "bundle/le_manifest.h"
#include "bundle_fixtures.h"
#include "le/le.h"
#include "render/le_renderer.h"

namespace le::test {

constexpr size_t kKp = 63;

// One opened fixture bundle whose director graphs the tests load by key.
struct Bundle {
  // A fixture name, or an absolute path.
  explicit Bundle(const std::string& name)
      : manifest(le::loadManifest(name[0] == '/' ? name : std::string(LE_FIXTURE_DIR) + "/" + name)),
        identity(manifest) {}

  std::unique_ptr<le::Renderer> load(const std::string& key, const std::string& ep = "", int threads = 1) {
    return std::make_unique<le::Renderer>(manifest, identity, key, threads, ep);
  }
  std::string loadError(const std::string& key, const std::string& ep = "") {
    return errorOf([&] { load(key, ep); });
  }
  // Stderr of a successful load, and the renderer.
  std::string loadLines(const std::string& key, std::unique_ptr<le::Renderer>* out = nullptr,
                        const std::string& ep = "") {
    ::testing::internal::CaptureStderr();
    auto r = load(key, ep);
    if (out) *out = std::move(r);
    return ::testing::internal::GetCapturedStderr();
  }

  le::Manifest manifest;
  le::Identity identity;
};

// The idle loop's keypoints of drive frame d.
struct Keypoints {
  explicit Keypoints(const le::Manifest& m, int d = 0) : drive(le::loadDrive(m)) {
    ks.assign(drive.xs.begin() + kKp * d, drive.xs.begin() + kKp * (d + 1));
    kd.assign(drive.xd.begin() + kKp * d, drive.xd.begin() + kKp * (d + 1));
    si = drive.si[d];
  }
  le::Drive drive;
  std::vector<float> ks, kd;
  int32_t si;
};

}  // namespace le::test
