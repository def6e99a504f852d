// Per-thread, per-family error text of the C interface.
#pragma once

#include <exception>
#include <string>

namespace le::capi {

// The calling thread's render-family error text (returned by le_last_error).
std::string& renderError();

// Stores "where: what()" in the slot: the text of an exception caught at the
// C boundary.
inline void setErr(std::string& slot, const char* where, const std::exception& e) {
  slot.assign(where);
  slot.append(": ");
  slot.append(e.what());
}

// Stores "where: reason": a failed argument check.
inline void setArgErr(std::string& slot, const char* where, const char* reason) {
  slot.assign(where);
  slot.append(": ");
  slot.append(reason);
}

}  // namespace le::capi
