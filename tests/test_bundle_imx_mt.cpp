// IMX containers: unwrap and reuse, refusal of unsafe or forged containers,
// recovery from an unwrap killed half way, concurrent opens, member lookup
// and the bundle-resolution C functions.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bundle/le_imx.h"
#include "bundle_fixtures.h"
#include "le/le_bundle.h"

namespace {

namespace fs = std::filesystem;
using le::test::filesUnder;
using le::test::readAll;
using le::test::TempDir;
using le::test::writeFile;
using Files = std::map<std::string, std::string>;

// Packs files into <dir>/<name>.imx through the le-bundle pack code path.
std::string packed(const TempDir& t, const std::string& name, const Files& files) {
  const std::string src = t / (name + ".src");
  fs::create_directories(src);
  for (const auto& [rel, bytes] : files) writeFile(src + "/" + rel, bytes);
  const std::string c = t / (name + ".imx");
  le::packImx(src, c);
  return c;
}

// Every entry name under dir, links included and not followed.
std::set<std::string> entriesUnder(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) out.insert(fs::relative(e.path(), dir).generic_string());
  return out;
}

std::string unwrapError(const std::string& c) {
  return le::test::errorOf([&] { le::unwrapOnce(c); });
}

// The marker of an unwrap of container c as it is now.
std::string markerOf(const std::string& c) {
  struct stat st {};
  if (::lstat(c.c_str(), &st) != 0) return "(no container)";
  return "imx-unwrapped.v2 " + fs::path(c).filename().string() + " " + std::to_string(st.st_size) + " " +
         std::to_string(st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec) + " " + std::to_string(st.st_ino);
}

void setMtime(const std::string& p, time_t sec) {
  const timespec times[2] = {{sec, 0}, {sec, 123}};
  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
}

const Files kAvatar = {
    {"manifest.json", "{\"format\": \"le-bundle-v0\"}"},
    {"paste_mask.u8", std::string(4096, '\x7f')},
    {"drive/si.i32", std::string("\0\1\2\3", 4)},
    {"a/b/c.bin", "deep"},
    {"empty.bin", ""},
    {"large.bin", std::string((size_t{9} << 20) + 5, 'L')},  // spans two copy buffers
};

class Imx : public testing::Test {
 protected:
  void SetUp() override { unsetenv("LE_IMX_UNWRAP_ROOT"); }
  void TearDown() override { unsetenv("LE_IMX_UNWRAP_ROOT"); }
  TempDir t;
};

TEST_F(Imx, UnwrapsOnceAndReusesUntilTheContainerChanges) {
  const std::string c = packed(t, "avatar", kAvatar);
  const std::string out = t / "avatar.lebundle";

  testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(c), out);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[le] unwrapped " + c + " -> " + out + "\n");
  EXPECT_EQ(filesUnder(out), kAvatar);
  EXPECT_EQ(readAll(out + ".imx_unwrapped"), markerOf(c));

  // Unchanged container: nothing printed, nothing rewritten, local edits kept.
  writeFile(out + "/a/b/c.bin", "edited");
  testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(c), out);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(readAll(out + "/a/b/c.bin"), "edited");

  // A touched container is unwrapped anew, over a fresh directory.
  setMtime(c, 1700000000);
  writeFile(out + "/stale.bin", "x");
  testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(c), out);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(filesUnder(out), kAvatar);
}

TEST_F(Imx, NamingRootAndPathForms) {
  // ".lebundle.imx" unwraps to ".lebundle", and that directory resolves back
  // through the container beside it.
  const std::string c = packed(t, "ada.lebundle", {{"manifest.json", "{}"}});
  EXPECT_EQ(le::resolveBundlePath(c), t / "ada.lebundle");
  EXPECT_EQ(le::test::stderrOf([&] { EXPECT_EQ(le::resolveBundlePath(t / "ada.lebundle/"), t / "ada.lebundle"); }), "");

  const std::string root = t / "root";
  setenv("LE_IMX_UNWRAP_ROOT", (root + "//").c_str(), 1);
  const std::string c2 = packed(t, "avatar", {{"x", "1"}});
  EXPECT_EQ(le::resolveBundlePath(c2), root + "/avatar.lebundle");
  EXPECT_EQ(filesUnder(root), (Files{{"avatar.lebundle/x", "1"},
                                     {"avatar.lebundle.imx_unwrapped", readAll(root + "/avatar.lebundle.imx_unwrapped")},
                                     {"avatar.lebundle.imx_lock", ""}}));

  // Directories without a marker and unknown paths pass through.
  fs::create_directories(t / "plain");
  for (const std::string& p : {t / "plain/", t / "nowhere"}) EXPECT_EQ(le::resolveBundlePath(p), p);

  // Version 3 is refused by the unwrap.
  std::string v3 = readAll(c2);
  v3[4] = 3;
  writeFile(t / "v3.imx", v3);
  EXPECT_EQ(unwrapError(t / "v3.imx"), t / "v3.imx" + ": unsupported IMX container version 3");
}

TEST_F(Imx, ZeroMembersAndSyntheticManifest) {
  EXPECT_TRUE(fs::is_empty(le::unwrapOnce(packed(t, "none", {}))));
  const Files synthetic = {{"manifest.json", "{\"_imx_synthetic_manifest\": true}"}, {"x.bin", "x"}};
  EXPECT_EQ(filesUnder(le::unwrapOnce(packed(t, "syn", synthetic))), (Files{{"x.bin", "x"}}));
}

TEST_F(Imx, TruncatedAtEveryField) {
  const std::string good = readAll(packed(t, "full", {{"m0.bin", "0123456789"}, {"dir/m1", "abcdef"}}));
  ASSERT_EQ(good.size(), 72u);
  const std::string c = t / "cut.imx";
  for (size_t n = 0; n < good.size(); ++n) {
    writeFile(c, good.substr(0, n));
    std::string want = c + ": ";
    if (n < 8) want += "not an IMX\\0 container";
    else if (n < 10) want += "truncated TOC at member 0";
    else if (n < 16) want += "truncated member name at 0";
    else if (n < 32) want += "truncated TOC offsets at member dir/m1";
    else if (n < 34) want += "truncated TOC at member 1";
    else if (n < 40) want += "truncated member name at 1";
    else if (n < 56) want += "truncated TOC offsets at member m0.bin";
    else if (n < 62) want += "truncated payload for member dir/m1";
    else want += "truncated payload for member m0.bin";
    EXPECT_EQ(unwrapError(c), want) << n;
    EXPECT_FALSE(fs::exists(t / "cut.lebundle.imx_unwrapped"));
    EXPECT_TRUE(fs::is_empty(t / "cut.lebundle")) << n;  // checked before writing
  }
  writeFile(c, std::string("IMY\0\2\0\0\0", 8));
  EXPECT_EQ(unwrapError(c), c + ": not an IMX\\0 container");
}

TEST_F(Imx, ForgedSizesAreCheckedAgainstTheFile) {
  std::string bytes = readAll(packed(t, "forged", {{"manifest.json", "{}"}, {"z", "zz"}}));
  // Entry 0 is manifest.json (name 13 bytes): offset at 23, size at 31.
  auto put64 = [&](size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
  };
  const std::string c = t / "forged.imx";
  for (uint64_t size : {uint64_t{4} << 20, ~uint64_t{0}, uint64_t{1} << 62}) {
    put64(31, size);
    writeFile(c, bytes);
    EXPECT_EQ(unwrapError(c), c + ": truncated payload for member manifest.json");
  }
  put64(31, 2);
  put64(23, ~uint64_t{0} - 1);  // offset + size wraps around
  writeFile(c, bytes);
  EXPECT_EQ(unwrapError(c), c + ": truncated payload for member manifest.json");
}

TEST_F(Imx, UnsafeNamesAreRefusedBeforeAnythingIsWritten) {
  // Same-length placeholders are packed, then their bytes replaced.
  const std::string unsafe[] = {"a/../../x", "../x", "/abs", "\\win", std::string("n\0ul", 4)};
  for (const std::string& bad : unsafe) {
    TempDir w;
    const std::string placeholder(bad.size(), 'q');
    std::string bytes = readAll(packed(w, "bad", {{"first.bin", std::string(20, 'k')}, {placeholder, "payload"}}));
    bytes.replace(bytes.find(placeholder), bad.size(), bad);
    const std::string c = w / "bad.imx";
    writeFile(c, bytes);
    const std::set<std::string> before = entriesUnder(w.path());
    // A NUL in the name ends the C text of the message.
    EXPECT_EQ(unwrapError(c), (c + ": refusing unsafe member name '" + bad + "'").c_str());
    EXPECT_TRUE(fs::is_empty(w / "bad.lebundle"));
    std::set<std::string> after = entriesUnder(w.path());
    for (const char* made : {"bad.lebundle", "bad.lebundle.imx_lock"}) after.erase(made);
    EXPECT_EQ(after, before);
  }

  // The empty name, written by hand: one entry of length 0.
  std::string empty("IMX\0\2\0\1\0\0\0", 10);
  empty += std::string("\x1a\0\0\0\0\0\0\0", 8) + std::string(8, '\0');
  writeFile(t / "empty.imx", empty);
  EXPECT_EQ(unwrapError(t / "empty.imx"), t / "empty.imx" + ": refusing unsafe member name ''");
}

TEST_F(Imx, PlantedLinksAreReplacedNeverFollowed) {
  const std::string outside = t / "outside";
  writeFile(outside + "/victim.bin", "original");
  const std::string c = packed(t, "links", {{"sub/x.bin", "new"}, {"f.bin", "file"}, {"g.bin", "g"}});

  // Unpacking into a directory that holds links to outside.
  const std::string dir = t / "target";
  fs::create_directories(dir);
  fs::create_directory_symlink(outside, dir + "/sub");
  fs::create_symlink(outside + "/victim.bin", dir + "/f.bin");
  fs::create_symlink(outside + "/victim.bin", dir + "/g.bin.part");
  le::extractImx(c, dir, false);
  EXPECT_EQ(filesUnder(outside), (Files{{"victim.bin", "original"}}));
  EXPECT_EQ(filesUnder(dir), (Files{{"sub/x.bin", "new"}, {"f.bin", "file"}, {"g.bin", "g"}}));

  // An old output directory with a link in it and a stale marker: the
  // re-unwrap removes the link, not what it points at.
  const std::string out = le::unwrapOnce(c);
  fs::remove_all(out + "/sub");
  fs::create_directory_symlink(outside, out + "/sub");
  setMtime(c, 1600000000);
  EXPECT_EQ(le::unwrapOnce(c), out);
  EXPECT_EQ(filesUnder(outside), (Files{{"victim.bin", "original"}}));
  EXPECT_EQ(readAll(out + "/sub/x.bin"), "new");
}

TEST_F(Imx, AnUnwrapKilledHalfWayIsRedone) {
  const Files files = {{"a.bin", std::string(1024, 'a')}, {"b.bin", std::string(size_t{4} << 20, 'b')}};
  const std::string c = packed(t, "killed", files);
  const std::string out = t / "killed.lebundle";
  std::fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Writing past 1 MiB raises SIGXFSZ, which kills the process mid-member.
    const rlimit fsize{size_t{1} << 20, size_t{1} << 20}, core{0, 0};
    setrlimit(RLIMIT_CORE, &core);
    setrlimit(RLIMIT_FSIZE, &fsize);
    signal(SIGXFSZ, SIG_DFL);
    le::unwrapOnce(c);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  // No marker; the work stopped in the staging directory, where the member
  // cut short is visible only under its part name, and the output is untouched.
  EXPECT_FALSE(fs::exists(out + ".imx_unwrapped"));
  const std::string staging = le::unwrapTarget(c).staging;
  EXPECT_TRUE(fs::is_empty(out));
  EXPECT_EQ(entriesUnder(staging), (std::set<std::string>{"a.bin", "b.bin.part"}));

  EXPECT_NE(le::test::stderrOf([&] { EXPECT_EQ(le::resolveBundlePath(c), out); }), "");
  EXPECT_EQ(filesUnder(out), files);
  EXPECT_FALSE(fs::exists(staging));
}

TEST_F(Imx, ConcurrentOpensUnwrapOnce) {
  const std::string c = packed(t, "shared", kAvatar), out = t / "shared.lebundle";
  std::vector<std::string> dirs(8);
  std::vector<std::thread> threads;
  const std::string err = le::test::stderrOf([&] {
    for (std::string& dir : dirs) threads.emplace_back([&] { dir = le::resolveBundlePath(c); });
    for (auto& th : threads) th.join();
  });
  EXPECT_EQ(err, "[le] unwrapped " + c + " -> " + out + "\n");
  EXPECT_EQ(dirs, std::vector<std::string>(8, out));
  EXPECT_EQ(filesUnder(out), kAvatar);
}

// Frame si and drive crop d of a context, as bytes, or "!" and its error.
std::string readBack(le_ctx* ctx, int si, int d) {
  const uint8_t* f = le_target_frame(ctx, si);
  if (!f) return std::string("!") + le_last_error();
  std::string out(reinterpret_cast<const char*>(f), static_cast<size_t>(le_width(ctx)) * le_height(ctx) * 3);
  const float* crop = le_render_drive_crop(ctx, d);
  if (!crop) return std::string("!") + le_last_error();
  return out.append(reinterpret_cast<const char*>(crop), 3 * sizeof(float) * le_crop(ctx) * le_crop(ctx));
}

// A context keeps reading its bundle lazily (driver frames, the HEVC prior,
// the director graph on the first render) while this process and another
// touch its container over and over, so that it is unwrapped anew each
// time: every frame and crop stays that of the bundle itself, and the
// directory ends complete.
TEST_F(Imx, OpenContextKeepsReadingWhileItsContainerIsUnwrappedAgain) {
  const std::string src = std::string(LE_FIXTURE_DIR) + "/tiny_hevc";
  const std::string c = t / "avatar.imx";
  le::packImx(src, c);
  constexpr int kUnwraps = 40;
  auto touchAndResolve = [&](int i) {
    setMtime(c, 1600000000 + i);
    le::resolveBundlePath(c);
  };

  // The other process is started before any thread exists here.
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(go[1]);
    (void)!std::freopen((t / "child.err").c_str(), "w", stderr);
    char byte;
    (void)!::read(go[0], &byte, 1);
    try {
      for (int i = 0; i < kUnwraps; ++i) touchAndResolve(2 * i + 1);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "child: %s\n", e.what());
      _exit(1);
    }
    _exit(0);
  }
  ::close(go[0]);

  std::vector<std::string> want;
  le_ctx* ref = le_create(src.c_str(), "render", 1, nullptr);
  ASSERT_NE(ref, nullptr) << le_last_error();
  const int nt = le_nt(ref), frames = le_drive_frames(ref);
  for (int d = 0; d < frames; ++d) want.push_back(readBack(ref, d % nt, d));
  le_destroy(ref);

  testing::internal::CaptureStderr();
  le_ctx* ctx = le_create(c.c_str(), "render", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  ::close(go[1]);  // releases the other process
  int status = 0, failures = 0;
  bool childDone = false;
  for (int i = 0; i < kUnwraps || !childDone || i < 2 * frames; ++i) {
    childDone = childDone || waitpid(child, &status, WNOHANG) == child;
    if (i < kUnwraps) touchAndResolve(2 * i);
    failures += readBack(ctx, i % frames % nt, i % frames) != want[i % frames];
  }
  le_destroy(ctx);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(status, 0) << readAll(t / "child.err");
  EXPECT_EQ(filesUnder(t / "avatar.lebundle"), filesUnder(src));
}

TEST_F(Imx, CFunctions) {
  const std::string c = packed(t, "capi", {{"paste_mask.u8", "m"}, {"M.f32", "f"}});
  const std::string out = t / "capi.lebundle", broken = t / "broken.imx";
  writeFile(broken, std::string("IMX\0\2\0\1\0", 8));
  char buf[4096];
  // The exact fit (text and NUL), one byte less, a broken container, no arguments.
  const std::tuple<std::string, size_t, int, std::string> handles[] = {
      {c, out.size() + 1, 1, out + "|"},
      {c, out.size(), -1, "|le_bundle_resolve_handle: buffer too small"},
      {broken, sizeof buf, -1, "|le_bundle_resolve_handle: " + broken + ": truncated TOC at member 0"}};
  for (const auto& [path, cap, result, text] : handles) {
    EXPECT_EQ(le_bundle_resolve_handle(path.c_str(), buf, cap), result) << cap;
    EXPECT_EQ(buf + std::string("|") + le_last_error(), text);
  }
  EXPECT_EQ(le_bundle_resolve_handle(nullptr, buf, sizeof buf), -1);
  EXPECT_EQ(le_bundle_resolve_handle(c.c_str(), nullptr, 10), -1);

  // Members under both names; none of these touch the error text.
  EXPECT_EQ(le_bundle_resolve_handle(c.c_str(), buf, 1), -1);
  const std::tuple<const char*, const char*, int> members[] = {
      {"mask_512.u8", "/paste_mask.u8", 1}, {"M.f32", "/M.f32", 1}, {"pooled64.f16", "/pooled64.f16", 0}};
  for (const auto& [asked, path, result] : members) {
    EXPECT_EQ(le_bundle_resolve_member(c.c_str(), asked, buf, sizeof buf), result) << asked;
    EXPECT_EQ(std::string(buf), out + path);
  }
  EXPECT_EQ(le_bundle_resolve_member(broken.c_str(), "M.f32", buf, sizeof buf), -1);
  EXPECT_STREQ(le_last_error(), "le_bundle_resolve_handle: buffer too small");
}

// The generator's container unwraps to exactly its directory.
TEST_F(Imx, GeneratedContainerUnwrapsExactly) {
  const std::string fixtures = LE_FIXTURE_DIR;
  fs::create_directories(t / "out");
  le::extractImx(fixtures + "/tiny.imx", t / "out", false);
  const Files expected = filesUnder(fixtures + "/tiny_imx_src");
  EXPECT_GE(expected.size(), 8u);
  EXPECT_EQ(filesUnder(t / "out"), expected);
}

}  // namespace
