// Reading bundle member files: open checks, whole-file reads, exact-size
// element reads and read-only maps of the large per-frame tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le {

// True when path can be opened for reading.
bool canOpen(const std::string& path);
// The whole file ("cannot open " / "short read " + path on failure).
std::string readFile(const std::string& path);
// The whole file as raw little-endian float32 values (a trailing partial
// value is ignored); fails as readFile.
std::vector<float> readFloats(const std::string& path);
// Exactly n elements of T: a shorter or longer file is "size mismatch ".
template <typename T>
std::vector<T> readRaw(const std::string& path, size_t n);

// A read-only memory mapping of a whole member file.
struct MappedFile {
  const uint8_t* data = nullptr;
  size_t len = 0;

  MappedFile() = default;
  MappedFile(MappedFile&& o) noexcept : data(o.data), len(o.len) { o.data = nullptr, o.len = 0; }
  MappedFile& operator=(MappedFile&& o) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();
  bool empty() const { return data == nullptr; }
};

// Maps path read-only; its size must be exactly len.
MappedFile mapFile(const std::string& path, size_t len);

}  // namespace le
