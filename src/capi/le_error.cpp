#include "capi/le_error.h"

namespace le::capi {

std::string& renderError() {
  thread_local std::string g_err;
  return g_err;
}

}  // namespace le::capi
