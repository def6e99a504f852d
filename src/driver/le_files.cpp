#include "driver/le_files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "kernels/le_checked.h"

namespace le {

bool canOpen(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::vector<float> readFloats(const std::string& path) {
  const std::string bytes = readFile(path);
  std::vector<float> v(bytes.size() / sizeof(float));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

std::string readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st {};
  std::string out;
  size_t got = 0;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    out.resize(static_cast<size_t>(st.st_size));
    while (got < out.size()) {
      const ssize_t r = ::read(fd, out.data() + got, out.size() - got);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
  }
  ::close(fd);
  if (got < out.size()) throw std::runtime_error("short read " + path);
  return out;
}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  if (this != &o) {
    if (data) munmap(const_cast<uint8_t*>(data), len);
    data = o.data;
    len = o.len;
    o.data = nullptr;
    o.len = 0;
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (data) munmap(const_cast<uint8_t*>(data), len);
}

MappedFile mapFile(const std::string& path, size_t len) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st {};
  if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) != len) {
    ::close(fd);
    throw std::runtime_error("size mismatch " + path);
  }
  MappedFile f;
  if (len > 0) {
    void* p = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      ::close(fd);
      throw std::runtime_error("mmap failed " + path);
    }
    f.data = static_cast<const uint8_t*>(p);
    f.len = len;
  }
  ::close(fd);
  return f;
}

template <typename T>
std::vector<T> readRaw(const std::string& path, size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot open " + path);
  // A count the file cannot hold is refused before anything is allocated for it.
  struct stat st {};
  size_t bytes = 0;
  if (!checkedProduct({n, sizeof(T)}, &bytes) ||
      (::fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) != bytes)) {
    std::fclose(f);
    throw std::runtime_error("size mismatch " + path);
  }
  std::vector<T> v(n);
  const size_t got = n ? std::fread(v.data(), sizeof(T), n, f) : 0;
  const bool trailing = std::fgetc(f) != EOF;
  std::fclose(f);
  if (got != n || trailing) throw std::runtime_error("size mismatch " + path);
  return v;
}
template std::vector<float> readRaw<float>(const std::string&, size_t);
template std::vector<int32_t> readRaw<int32_t>(const std::string&, size_t);

}  // namespace le
