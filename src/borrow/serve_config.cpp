#include "borrow/serve_config.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "bundle/le_json.h"

namespace le::tessera {

namespace {

using json::JVal;

// Truncation toward zero, saturating where an int32 cannot hold the value.
int32_t truncated(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<int32_t>(std::fmin(std::fmax(v, INT32_MIN), INT32_MAX));
}

}  // namespace

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  json::JParser parser(text);
  const JVal doc = parser.val();
  const JVal* retrieval = doc.find("retrieval");
  const JVal* temporal = doc.find("temporal");
  if (!retrieval || retrieval->kind != JVal::Object || !temporal || temporal->kind != JVal::Object)
    throw std::runtime_error(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
        "defaults (W3-01)");
  ServeConfig c;
  c.kshort = truncated(retrieval->req("kshort").num);
  c.aperture_tol = retrieval->req("aperture_tol").num;
  c.cut = truncated(retrieval->req("cut").num);
  c.K = truncated(retrieval->req("K").num);
  c.hysteresis = truncated(temporal->req("hysteresis").num);
  c.lookahead = truncated(temporal->req("lookahead").num);
  // The envelope is fixed; a config that names another one was built for a
  // different delivery and is refused rather than followed.
  const JVal* decode = doc.find("decode");
  const JVal* clamp = decode && decode->kind == JVal::Object ? decode->find("envelope_clamp_255") : nullptr;
  if (clamp && !(std::fabs(clamp->num - 12.0) <= 1e-6))
    throw std::runtime_error(
        "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity");
  return c;
}

}  // namespace le::tessera
