// The offline mouth borrow: the teeth pass over a batch of prepared frames in
// one call, each frame answered by its window or a pass-through mark.
#include <algorithm>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>

#include "borrow/head_weights.h"
#include "borrow/serve_config.h"
#include "borrow/teeth_pass.h"
#include "kernels/le_c_error.h"
#include "le/le_tessera.h"

namespace {

using le::tessera::FrameResult;
using le::tessera::GeometryStamp;

constexpr int32_t kDeriveShift = -10000;  // a dy asking the pass to find the shift

int runPass(const uint8_t* bank_rgb, int n_donors, const double* cent, const double* c_canon, const double* aperture,
            const int32_t* stamp, const uint8_t* head_pt, uint32_t head_pt_len, const char* head_json,
            const uint8_t* frames, const uint8_t* masks, const int32_t* shifts, int n_frames, uint8_t* out_windows,
            uint8_t* out_passed) {
  if (!bank_rgb || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_json || n_frames < 0 ||
      (n_frames > 0 && (!frames || !masks || !out_windows || !out_passed)))
    throw std::invalid_argument("le_tessera_run: a required argument is null");
  le::tessera::BankData bank = le::tessera::BankData::fromArrays(bank_rgb, n_donors, cent, c_canon, aperture, stamp);
  const le::tessera::ServeConfig config = le::tessera::ServeConfig::fromHeadMemberJson(head_json);
  le::tessera::HeadWeights head = le::tessera::loadHeadPt(std::span<const uint8_t>(head_pt, head_pt_len));
  const GeometryStamp s = bank.stamp;
  le::tessera::TeethPass pass(std::move(bank), std::move(head), config);

  const size_t canvas = size_t(s.canvas_w) * size_t(s.canvas_h), window = size_t(s.window_w) * size_t(s.window_h) * 3;
  int answered = 0;
  const auto answer = [&](const FrameResult& r) {
    out_passed[answered] = r.passed ? 1 : 0;
    if (!r.passed) std::copy(r.window.begin(), r.window.end(), out_windows + size_t(answered) * window);
    ++answered;
  };
  FrameResult result;
  for (int i = 0; i < n_frames; ++i) {
    const int32_t* shift = shifts && shifts[2 * i] != kDeriveShift ? shifts + 2 * i : nullptr;
    if (pass.push(i, frames + size_t(i) * canvas * 3, masks + size_t(i) * canvas, shift, result)) answer(result);
  }
  if (pass.flush(result)) answer(result);
  if (answered != n_frames)
    throw std::runtime_error("teeth: emitted " + std::to_string(answered) + " of " + std::to_string(n_frames) +
                             " frames");
  return 0;
}

}  // namespace

extern "C" {

LE_API int le_tessera_run_shift(const uint8_t* bank_rgb, int n_donors, const double* cent, const double* c_canon,
                                const double* aperture, const int32_t* stamp, const uint8_t* head_pt,
                                uint32_t head_pt_len, const char* head_json, const uint8_t* frames,
                                const uint8_t* masks, const int32_t* shifts, int n_frames, uint8_t* out_windows,
                                uint8_t* out_passed, char* err, int err_len) {
  try {
    return runPass(bank_rgb, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, frames, masks,
                   shifts, n_frames, out_windows, out_passed);
  } catch (const std::exception& e) {
    le::fillErrBuf(err, err_len, e.what());
  } catch (...) {
    le::fillErrBuf(err, err_len, "teeth: unknown failure");
  }
  return 1;
}

LE_API int le_tessera_run(const uint8_t* bank_rgb, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int32_t* stamp, const uint8_t* head_pt, uint32_t head_pt_len,
                          const char* head_json, const uint8_t* frames, const uint8_t* masks, int n_frames,
                          uint8_t* out_windows, uint8_t* out_passed, char* err, int err_len) {
  return le_tessera_run_shift(bank_rgb, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json,
                              frames, masks, nullptr, n_frames, out_windows, out_passed, err, err_len);
}

}  // extern "C"
