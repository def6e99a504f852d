// The teeth pass's retrieval and temporal parameters, read from the bundle
// member "tessera_head.v1.json" (schema tessera_head.v1). The file must state
// every parameter it owns: a default is never served in place of a missing
// key.
#pragma once

#include <cstdint>
#include <string>

namespace le::tessera {

struct ServeConfig {
  int32_t kshort = 512;        // retrieval.kshort: shortlist of the pooled stage
  double aperture_tol = 0.3;   // retrieval.aperture_tol: relative aperture band
  int32_t cut = 96;            // retrieval.cut: shortlist entries walked
  int32_t K = 64;              // retrieval.K: donors blended per frame
  int32_t hysteresis = 8;      // temporal.hysteresis: donors carried to the next frame
  int32_t lookahead = 8;       // temporal.lookahead: donors taken from the next frame
  // Not read from the file: the teeth pixel rule (least luma, largest
  // |G - R|, fewest pixels), the teeth weights' decay and the look-ahead
  // switch.
  double teeth_luma_min = 100.0;
  double teeth_chroma_max = 25.0;
  int32_t min_teeth_px = 32;
  double weight_decay = 0.6;
  int32_t lookahead_on = 1;

  // The config of the whole member text; throws std::runtime_error
  // ("teeth: ...") when a block or key is missing or the envelope it names
  // is not the one of record.
  static ServeConfig fromHeadMemberJson(const std::string& text);
};

}  // namespace le::tessera
