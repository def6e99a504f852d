// The render context behind the C handle le_ctx: one opened bundle with its
// tables, compositor and driver cursor. The pipelines borrow its members.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/le_identity.h"
#include "driver/le_driver.h"
#include "kernels/le_paste.h"
#include "render/le_renderer.h"

struct le_ctx {
  le_ctx(const std::string& bundleDir, const std::string& modelKey, int threads, const std::string& ep,
         bool threadsExplicit);

  // The director renderer, built on first use. When the caller chose neither
  // threads nor a provider its intra-op count is min(threads, 2), so that the
  // pipeline's own threads do not oversubscribe the machine. Throws when the
  // graph cannot be served.
  le::Renderer& ensureRenderer();
  // Driver frame si into out (W x H x 3), with crop blended in through the
  // frame's transform.
  void pasteInto(int si, const float* crop, uint8_t* out);

  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
  std::unique_ptr<le::Renderer> renderer;  // built by the first render
  std::unique_ptr<le::Paste> paste;
  int threads;
  std::string ep;
  bool threadsExplicit;
  std::string modelKey;
  std::unique_ptr<le::DriverCursor> cursor;
  std::vector<uint8_t> frame;
  const float* lastCrop = nullptr;
};

// A bundle's HEVC warp prior, played without a render context.
struct le_prior {
  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
  std::string backend;
};
