// Per-thread, per-family error text of the C interface.
#pragma once

#include <string>

#include "kernels/le_c_error.h"

namespace le::capi {

// The calling thread's render-family error text (returned by le_last_error).
std::string& renderError();

using le::setArgErr;
using le::setErr;

}  // namespace le::capi
