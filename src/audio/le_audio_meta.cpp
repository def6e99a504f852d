#include "audio/le_audio_meta.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace le::audio_meta {
namespace {

// Offset just past the ':' that follows the first quoted key, or npos.
size_t valueAt(const std::string& text, const char* key, bool* keyFound) {
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t k = text.find(quoted);
  if (keyFound) *keyFound = k != std::string::npos;
  if (k == std::string::npos) return std::string::npos;
  const size_t colon = text.find(':', k + quoted.size());
  return colon == std::string::npos ? colon : colon + 1;
}

}  // namespace

long intKey(const std::string& text, const char* key, long def) {
  const size_t at = valueAt(text, key, nullptr);
  if (at == std::string::npos) return def;
  return std::strtol(text.c_str() + at, nullptr, 10);
}

std::optional<bool> flagKey(const std::string& text, const char* key) {
  size_t at = valueAt(text, key, nullptr);
  if (at == std::string::npos) return std::nullopt;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  const char* v = text.c_str() + at;
  if (std::strncmp(v, "true", 4) == 0) return true;
  if (std::strncmp(v, "false", 5) == 0) return false;
  return std::strtol(v, nullptr, 10) != 0;
}

double numberKey(const std::string& text, const char* key, std::optional<double> def) {
  bool found = false;
  const size_t at = valueAt(text, key, &found);
  if (!found) {
    if (def) return *def;
    throw std::runtime_error(std::string("meta.json: missing ") + key);
  }
  if (at == std::string::npos) throw std::runtime_error(std::string("meta.json: bad ") + key);
  return std::strtod(text.c_str() + at, nullptr);
}

}  // namespace le::audio_meta
