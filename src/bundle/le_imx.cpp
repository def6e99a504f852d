#include "bundle/le_imx.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "bundle/le_manifest.h"

namespace le {

namespace fs = std::filesystem;

namespace {

constexpr unsigned char kMagic[4] = {'I', 'M', 'X', 0};
constexpr uint16_t kVersion = 2;
constexpr size_t kCopyBuffer = size_t{8} << 20;
constexpr uint64_t kManifestProbeMax = uint64_t{4} << 20;
constexpr std::string_view kSyntheticManifest = "_imx_synthetic_manifest";

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Closes now; false when close reports an error (data not written).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

struct Member {
  std::string name;
  uint64_t offset;
  uint64_t size;
};

// Reads up to n bytes at off; returns how many were read.
size_t readAt(int fd, uint64_t off, void* dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, static_cast<char*>(dst) + got, n - got, static_cast<off_t>(off + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

bool writeAll(int fd, const void* src, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd, static_cast<const char*>(src) + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

uint64_t getLe(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void putLe(std::string& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

std::string trimSlashes(std::string s) {
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

std::string baseName(const std::string& p) {
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool endsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isDirectory(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool existsNoFollow(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

void refuseUnsafeName(const std::string& where, const std::string& name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\' || name.find("..") != std::string::npos ||
      name.find('\0') != std::string::npos)
    throw std::runtime_error(where + ": refusing unsafe member name '" + name + "'");
}

// Header and table of contents, every entry checked against the file size.
std::vector<Member> readToc(int fd, const std::string& c, uint64_t fileSize) {
  unsigned char head[8];
  if (readAt(fd, 0, head, 8) != 8 || std::memcmp(head, kMagic, 4) != 0)
    throw std::runtime_error(c + ": not an IMX\\0 container");
  const uint64_t version = getLe(head + 4, 2);
  if (version != kVersion) throw std::runtime_error(c + ": unsupported IMX container version " + std::to_string(version));
  const size_t count = getLe(head + 6, 2);
  std::vector<Member> toc;
  uint64_t pos = 8;
  for (size_t i = 0; i < count; ++i) {
    unsigned char len[2];
    if (readAt(fd, pos, len, 2) != 2) throw std::runtime_error(c + ": truncated TOC at member " + std::to_string(i));
    pos += 2;
    Member m;
    m.name.resize(getLe(len, 2));
    if (readAt(fd, pos, m.name.data(), m.name.size()) != m.name.size())
      throw std::runtime_error(c + ": truncated member name at " + std::to_string(i));
    pos += m.name.size();
    unsigned char where[16];
    if (readAt(fd, pos, where, 16) != 16) throw std::runtime_error(c + ": truncated TOC offsets at member " + m.name);
    pos += 16;
    m.offset = getLe(where, 8);
    m.size = getLe(where + 8, 8);
    toc.push_back(std::move(m));
  }
  for (const Member& m : toc) {
    refuseUnsafeName(c, m.name);
    if (m.offset > fileSize || m.size > fileSize - m.offset)
      throw std::runtime_error(c + ": truncated payload for member " + m.name);
  }
  return toc;
}

// Opens (creating it if needed) the subdirectory name of dirFd without
// following a link; a link found there is replaced by a real directory.
int openSubdir(int dirFd, const char* name) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  if (::mkdirat(dirFd, name, 0755) != 0 && errno != EEXIST) return -1;
  const int fd = ::openat(dirFd, name, flags);
  if (fd >= 0) return fd;
  struct stat st {};
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) &&
      ::unlinkat(dirFd, name, 0) == 0 && ::mkdirat(dirFd, name, 0755) == 0)
    return ::openat(dirFd, name, flags);
  return -1;
}

// Streams one member into dir through a ".part" file that is renamed into
// place, so a member is visible only once complete.
void placeMember(int in, int rootFd, const std::string& c, const std::string& dir, const Member& m, char* buf) {
  const std::string dst = dir + "/" + m.name;
  const size_t slash = m.name.rfind('/');
  const std::string leaf = slash == std::string::npos ? m.name : m.name.substr(slash + 1);
  Fd sub;
  int dirFd = rootFd;
  if (slash != std::string::npos) {
    const std::string parent = m.name.substr(0, slash);
    size_t from = 0;
    while (from <= parent.size()) {
      size_t to = parent.find('/', from);
      if (to == std::string::npos) to = parent.size();
      const std::string comp = parent.substr(from, to - from);
      from = to + 1;
      if (comp.empty() || comp == ".") continue;
      Fd next(openSubdir(dirFd, comp.c_str()));
      if (!next.ok()) throw std::runtime_error("cannot create " + dir + "/" + parent);
      sub = std::move(next);
      dirFd = sub.get();
    }
  }
  const std::string part = leaf + ".part";
  ::unlinkat(dirFd, part.c_str(), 0);  // a stale part file or a planted link
  Fd out(::openat(dirFd, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!out.ok()) throw std::runtime_error("cannot write " + dst + ".part");
  auto fail = [&](const std::string& msg) {
    out.close();
    ::unlinkat(dirFd, part.c_str(), 0);
    throw std::runtime_error(msg);
  };
  for (uint64_t done = 0; done < m.size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyBuffer, m.size - done));
    const size_t got = readAt(in, m.offset + done, buf, n);
    if (got == 0) fail(c + ": truncated payload for member " + m.name);
    if (!writeAll(out.get(), buf, got)) fail("short write materialising " + dst);
    done += got;
  }
  if (!out.close()) {
    ::unlinkat(dirFd, part.c_str(), 0);
    throw std::runtime_error("flush failed materialising " + dst);
  }
  if (::renameat(dirFd, part.c_str(), dirFd, leaf.c_str()) != 0) {
    ::unlinkat(dirFd, part.c_str(), 0);
    throw std::runtime_error("cannot place member " + dst);
  }
}

// A manifest that only stands in for a bundle without one is not written.
bool isSyntheticManifest(int in, const Member& m) {
  if (m.name != "manifest.json" || m.size < 1 || m.size > kManifestProbeMax) return false;
  std::string text(m.size, '\0');
  return readAt(in, m.offset, text.data(), text.size()) == text.size() &&
         text.find(kSyntheticManifest) != std::string::npos;
}

std::string markerContent(const std::string& c) {
  struct stat st {};
  if (::lstat(c.c_str(), &st) != 0) throw std::runtime_error("cannot stat container " + c);
  const unsigned long long ns =
      static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<unsigned long long>(st.st_mtim.tv_nsec);
  return "imx-unwrapped.v2 " + baseName(c) + " " + std::to_string(st.st_size) + " " + std::to_string(ns) + " " +
         std::to_string(st.st_ino);
}

bool markerMatches(const std::string& marker, const std::string& expected) {
  std::ifstream f(marker, std::ios::binary);
  if (!f) return false;
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  constexpr const char* kBlanks = " \t\r\n";
  const size_t b = text.find_first_not_of(kBlanks);
  if (b == std::string::npos) return expected.empty();
  const size_t e = text.find_last_not_of(kBlanks);
  return text.compare(b, e - b + 1, expected) == 0;
}

// Written to a ".part" file renamed into place: a marker is whole or absent.
void writeMarker(const std::string& marker, const std::string& content) {
  const std::string part = marker + ".part";
  ::unlink(part.c_str());
  Fd f(::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!f.ok()) throw std::runtime_error("cannot write unwrap marker " + marker);
  const bool written = writeAll(f.get(), content.data(), content.size());
  if (!f.close() || !written || ::rename(part.c_str(), marker.c_str()) != 0) {
    ::unlink(part.c_str());
    throw std::runtime_error("short write on unwrap marker " + marker);
  }
}

std::string parentOf(const std::string& p) {
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
}

// An exclusive lock on path, held until the descriptor is closed: unwraps of
// one target in other processes wait for it. Not valid where the lock file
// can be neither created nor opened.
Fd lockFile(const std::string& path) {
  Fd f(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!f.ok()) f = Fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  while (f.ok() && ::flock(f.get(), LOCK_EX) != 0)
    if (errno != EINTR) f = Fd();
  return f;
}

// Puts the complete directory fresh in dir's place in one step, leaving what
// was at dir under fresh's name. Where the file system cannot exchange two
// names, the old directory is renamed aside and the new one in.
void swapIn(const std::string& fresh, const std::string& dir) {
  if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, dir.c_str(), RENAME_EXCHANGE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) throw std::runtime_error("cannot create unwrap dir " + dir);
  const std::string aside = fresh + ".old";
  std::error_code ec;
  fs::remove_all(aside, ec);
  if (::rename(dir.c_str(), aside.c_str()) != 0) throw std::runtime_error("cannot create unwrap dir " + dir);
  if (::rename(fresh.c_str(), dir.c_str()) != 0) {
    ::rename(aside.c_str(), dir.c_str());
    throw std::runtime_error("cannot create unwrap dir " + dir);
  }
  ::rename(aside.c_str(), fresh.c_str());
}

}  // namespace

std::mutex& unwrapMutex() {
  static std::mutex mu;
  return mu;
}

bool isImxV2File(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  unsigned char head[8];
  return f.ok() && readAt(f.get(), 0, head, 8) == 8 && std::memcmp(head, kMagic, 4) == 0 &&
         getLe(head + 4, 2) == kVersion;
}

UnwrapTarget unwrapTarget(const std::string& container) {
  std::string name = baseName(container);
  if (endsWith(name, ".imx")) name.resize(name.size() - 4);
  if (!endsWith(name, ".lebundle")) name += ".lebundle";
  const char* env = std::getenv("LE_IMX_UNWRAP_ROOT");
  const std::string root = env && *env ? env : parentOf(container);
  const std::string dir = trimSlashes(root) + "/" + name;
  return {dir, dir + ".imx_unwrapped", dir + ".imx_lock", dir + ".part"};
}

void extractImx(const std::string& container, const std::string& dir, bool skipSyntheticManifest) {
  Fd in(::open(container.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!in.ok() || ::fstat(in.get(), &st) != 0) throw std::runtime_error("cannot open container " + container);
  const std::vector<Member> toc = readToc(in.get(), container, static_cast<uint64_t>(st.st_size));
  Fd root(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.ok()) throw std::runtime_error("cannot create " + dir);
  const auto buf = std::make_unique_for_overwrite<char[]>(kCopyBuffer);
  for (const Member& m : toc) {
    if (skipSyntheticManifest && isSyntheticManifest(in.get(), m)) continue;
    placeMember(in.get(), root.get(), container, dir, m, buf.get());
  }
}

std::string unwrapOnce(const std::string& container) {
  std::lock_guard<std::mutex> lock(unwrapMutex());
  const UnwrapTarget t = unwrapTarget(container);
  const std::string stamp = markerContent(container);
  std::error_code ec;
  fs::create_directories(parentOf(t.dir), ec);
  const Fd crossProcess = lockFile(t.lock);
  if (isDirectory(t.dir) && markerMatches(t.marker, stamp)) return t.dir;
  if (!crossProcess.ok()) throw std::runtime_error("cannot create unwrap dir " + t.dir);

  fs::remove(t.marker, ec);
  if (!existsNoFollow(t.dir)) ::mkdir(t.dir.c_str(), 0755);
  fs::remove_all(t.staging, ec);  // left by an unwrap that died; links are removed, never followed
  if (!existsNoFollow(t.dir) || ::mkdir(t.staging.c_str(), 0755) != 0)
    throw std::runtime_error("cannot create unwrap dir " + t.dir);
  try {
    extractImx(container, t.staging, true);
  } catch (...) {
    fs::remove_all(t.staging, ec);
    throw;
  }
  swapIn(t.staging, t.dir);
  fs::remove_all(t.staging, ec);  // now the previous output directory
  writeMarker(t.marker, stamp);
  std::fprintf(stderr, "[le] unwrapped %s -> %s\n", container.c_str(), t.dir.c_str());
  return t.dir;
}

std::string resolveBundlePath(const std::string& path) {
  if (path.empty()) return path;
  const std::string trimmed = trimSlashes(path);
  if (isDirectory(path) && !existsNoFollow(trimmed + ".imx_unwrapped")) return path;
  if (endsWith(path, ".imx") && isImxV2File(path)) return unwrapOnce(path);
  const std::string withExt = trimmed + ".imx";
  if (isImxV2File(withExt)) return unwrapOnce(withExt);
  if (isImxV2File(path)) return unwrapOnce(path);
  return path;
}

void packImx(const std::string& dir, const std::string& out) {
  struct Source {
    std::string name;
    fs::path path;
    uint64_t size;
  };
  std::vector<Source> members;
  std::error_code ec;
  const fs::path outPath(out);
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    if (!it->is_regular_file() || fs::equivalent(it->path(), outPath, ec)) continue;
    const std::string name = it->path().lexically_relative(dir).generic_string();
    refuseUnsafeName(out, name);
    if (name.size() > UINT16_MAX) throw std::runtime_error(out + ": member name too long: " + name);
    members.push_back({name, it->path(), it->file_size()});
  }
  if (members.size() > UINT16_MAX) throw std::runtime_error(out + ": more than 65535 members in " + dir);
  std::sort(members.begin(), members.end(), [](const Source& a, const Source& b) { return a.name < b.name; });

  std::string head(reinterpret_cast<const char*>(kMagic), 4);
  putLe(head, kVersion, 2);
  putLe(head, members.size(), 2);
  uint64_t offset = head.size();
  for (const Source& m : members) offset += 2 + m.name.size() + 16;
  for (const Source& m : members) {
    putLe(head, m.name.size(), 2);
    head += m.name;
    putLe(head, offset, 8);
    putLe(head, m.size, 8);
    offset += m.size;
  }

  const std::string part = out + ".part";
  Fd f(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!f.ok()) throw std::runtime_error("cannot write " + part);
  auto fail = [&](const std::string& msg) {
    f.close();
    ::unlink(part.c_str());
    throw std::runtime_error(msg);
  };
  if (!writeAll(f.get(), head.data(), head.size())) fail("short write " + part);
  const auto buf = std::make_unique_for_overwrite<char[]>(kCopyBuffer);
  for (const Source& m : members) {
    Fd src(::open(m.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!src.ok()) fail("cannot open " + m.path.string());
    for (uint64_t done = 0; done < m.size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyBuffer, m.size - done));
      if (readAt(src.get(), done, buf.get(), n) != n) fail("short read " + m.path.string());
      if (!writeAll(f.get(), buf.get(), n)) fail("short write " + part);
      done += n;
    }
  }
  if (!f.close()) fail("short write " + part);
  if (::rename(part.c_str(), out.c_str()) != 0) fail("cannot place " + out);
}

}  // namespace le
