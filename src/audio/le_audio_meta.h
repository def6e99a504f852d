// Readers of the audio models' meta files ("a2x_meta.json", the motion
// directory's "meta.json"). These files are written by model packagers as
// flat objects; they are searched as text, not parsed as a tree, so a value is
// the first occurrence of its key anywhere in the file.
#pragma once

#include <optional>
#include <string>

namespace le::audio_meta {

// The integer after the first "key" and the first ':' that follows it
// (strtol, base 10); def when the key or the ':' is missing.
long intKey(const std::string& text, const char* key, long def);

// A flag: after the ':' blanks and tabs are skipped; "true" is 1, "false" 0,
// anything else 1 when its strtol is nonzero. nullopt when the key or the ':'
// is missing.
std::optional<bool> flagKey(const std::string& text, const char* key);

// The number (strtod) after the key's ':'. A missing key gives def, or throws
// "meta.json: missing KEY" when there is no default; a key with no ':' after
// it throws "meta.json: bad KEY".
double numberKey(const std::string& text, const char* key, std::optional<double> def);

}  // namespace le::audio_meta
