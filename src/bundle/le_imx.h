// Bundle path resolution and IMX v2 containers: a container is unpacked once
// into a directory beside it (or under LE_IMX_UNWRAP_ROOT), and a marker file
// beside that directory records which container file produced it.
#pragma once

#include <mutex>
#include <string>

namespace le {

// The bundle directory for a path: the path itself, or the directory its
// container was unwrapped into. Throws std::runtime_error from the unwrap.
std::string resolveBundlePath(const std::string& path);

// True for a regular file that starts with the IMX magic and version 2.
bool isImxV2File(const std::string& path);

// Where container c unwraps to: the output directory and its marker file,
// and beside them the lock file that serialises unwraps across processes
// and the directory a new unwrap is written into before it takes the
// output directory's place.
struct UnwrapTarget {
  std::string dir;
  std::string marker;
  std::string lock;
  std::string staging;
};
UnwrapTarget unwrapTarget(const std::string& container);

// Unwraps container c unless its marker says the output directory already
// holds exactly this container file; returns the output directory. A new
// unwrap is written beside the output directory and swapped in whole, so a
// reader of the old one always finds a complete directory at that path.
std::string unwrapOnce(const std::string& container);

// Held for the whole of every unwrapOnce, together with an exclusive lock
// on the target's lock file.
std::mutex& unwrapMutex();

// Writes every member of container c into the existing directory dir,
// refusing unsafe names before anything is written and never following a
// symbolic link inside dir. skipSyntheticManifest drops a "manifest.json"
// that only carries the "_imx_synthetic_manifest" placeholder.
void extractImx(const std::string& container, const std::string& dir, bool skipSyntheticManifest);

// Writes the regular files under dir (recursively, in byte order of their
// relative paths) into an IMX v2 container at out.
void packImx(const std::string& dir, const std::string& out);

}  // namespace le
