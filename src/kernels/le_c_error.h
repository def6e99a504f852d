// Error texts of the C interface: every family keeps one per thread and
// fills it with these two forms.
#pragma once

#include <exception>
#include <string>

namespace le {

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

}  // namespace le
