// Error texts of the C interface: every family keeps one per thread and
// fills it with the first two forms; the mouth borrow's functions fill a
// buffer of the caller's instead.
#pragma once

#include <algorithm>
#include <cstring>
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

// Copies text into the caller's buffer of len bytes: at most len - 1 bytes
// and a NUL; nothing for a null buffer or a len below 1.
inline void fillErrBuf(char* buf, int len, const char* text) {
  if (!buf || len < 1) return;
  const size_t n = std::min(std::strlen(text), static_cast<size_t>(len) - 1);
  std::memcpy(buf, text, n);
  buf[n] = 0;
}

}  // namespace le
