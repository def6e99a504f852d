#include "le/le.h"

#include "capi/le_error.h"

namespace le::capi {

std::string& renderError() {
  thread_local std::string g_err;
  return g_err;
}

}  // namespace le::capi

extern "C" {

LE_API const char* le_version(void) { return LE_VERSION_STRING; }

LE_API int le_host_kp_rows(void) { return le::kHostKpRows; }

LE_API const char* le_last_error(void) { return le::capi::renderError().c_str(); }

}  // extern "C"
