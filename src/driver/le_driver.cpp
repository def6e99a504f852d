#include "driver/le_driver.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "driver/le_files.h"
#include "driver/le_image.h"
#include "kernels/le_checked.h"

namespace le::driver {

void checkSeekTarget(int i, int nt) {
  if (i < 0 || i >= nt) throw std::runtime_error("le_driver: seek outside the member");
}

JpgDirSource::JpgDirSource(std::string dir, int nt, int w, int h) : dir_(std::move(dir)), nt_(nt), w_(w), h_(h) {}

bool JpgDirSource::next(uint8_t* out) {
  if (pos_ >= nt_) return false;
  char leaf[32];
  std::snprintf(leaf, sizeof leaf, "/frame_%06d.jpg", pos_);
  const std::string file = dir_ + leaf;
  int w = 0, h = 0;
  const std::vector<uint8_t> rgb = loadImageRGB(file, &w, &h);
  if (w != w_ || h != h_)
    throw std::runtime_error("le_driver: " + file + " is " + std::to_string(w) + "x" + std::to_string(h) +
                             ", the manifest says " + std::to_string(w_) + "x" + std::to_string(h_) +
                             " \u2014 refusing");
  std::memcpy(out, rgb.data(), rgb.size());
  ++pos_;
  return true;
}

void JpgDirSource::seek(int i) {
  checkSeekTarget(i, nt_);
  pos_ = i;
}

std::unique_ptr<Source> openJpgDir(const std::string& dir, int nt, int w, int h) {
  return std::make_unique<JpgDirSource>(dir, nt, w, h);
}

}  // namespace le::driver

namespace le {

namespace {

// ahead + hist + 1 slots of frameBytes each; a ring that cannot be counted,
// or not held in this machine's memory, is refused.
int ringSlots(int ahead, int hist, size_t frameBytes) {
  const long long slots = static_cast<long long>(ahead) + hist + 1;
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGE_SIZE);
  size_t bytes = 0, memory = SIZE_MAX;
  if (pages > 0 && pageSize > 0) checkedProduct({static_cast<size_t>(pages), static_cast<size_t>(pageSize)}, &memory);
  if (slots > INT_MAX || !checkedProduct({static_cast<size_t>(slots), frameBytes}, &bytes) || bytes > memory)
    throw std::runtime_error("le_driver: a ring of look-ahead " + std::to_string(ahead) + " + history " +
                             std::to_string(hist) + " + 1 frames of " + std::to_string(frameBytes) +
                             " bytes does not fit in memory \u2014 refusing");
  return static_cast<int>(slots);
}

}  // namespace

struct DriverCursor::Impl {
  std::unique_ptr<driver::Source> src;
  int nt, w, h;
  size_t frameBytes;
  int ahead, hist, slots;
  std::vector<std::vector<uint8_t>> ring;
  std::vector<int> slotFrame;

  mutable std::mutex stateMutex;
  std::condition_variable spaceCv, readyCv;
  std::mutex apiMutex;
  uint64_t rd = 0, wr = 0, pinned = 0;
  bool busy = false;
  int nextFrame = 0, position = 0;
  int srcPos = 0;  // reader thread only
  int seekTarget = -1;
  uint64_t gen = 0;
  bool stop = false;
  std::string error;
  uint64_t seeks = 0;
  std::thread thread;

  Impl(std::unique_ptr<driver::Source> s, int lookAhead, int history)
      : src(std::move(s)),
        nt(src->NT()),
        w(src->W()),
        h(src->H()),
        frameBytes(src->frameBytes()),
        ahead(std::max(1, lookAhead)),
        hist(std::max(0, history)),
        slots(ringSlots(ahead, hist, frameBytes)),
        ring(slots, std::vector<uint8_t>(frameBytes)),
        slotFrame(slots, -1) {}

  void fail(const std::string& text) {
    {
      std::lock_guard lk(stateMutex);
      if (error.empty()) error = text;
    }
    readyCv.notify_all();
  }

  void run() {
    for (;;) {
      int target = -1, f = 0;
      uint64_t g = 0;
      size_t slot = 0;
      {
        std::unique_lock lk(stateMutex);
        spaceCv.wait(lk, [&] { return stop || seekTarget >= 0 || wr - rd < static_cast<uint64_t>(ahead); });
        if (stop) return;
        if (seekTarget >= 0) {
          target = nextFrame = seekTarget;
          seekTarget = -1;
        } else {
          g = gen;
          f = nextFrame;
          slot = wr % slots;
          busy = true;
        }
      }
      if (target >= 0) {
        try {
          src->seek(target);
        } catch (const std::exception& e) {
          fail(std::string("le_driver: seek failed: ") + e.what());
          return;
        }
        srcPos = target;
        continue;
      }
      try {
        if (srcPos == nt) {
          src->rewind();
          srcPos = 0;
        }
        if (!src->next(ring[slot].data())) {
          fail("le_driver: " + src->name() + " ended after " + std::to_string(srcPos) +
               " frames, the manifest says NT=" + std::to_string(nt) +
               " \u2014 a short driver is a session that stops part way through the loop, refusing");
          return;
        }
      } catch (const std::exception& e) {
        fail(std::string("le_driver: ") + e.what());
        return;
      }
      ++srcPos;
      std::lock_guard lk(stateMutex);
      busy = false;
      if (gen == g) {
        slotFrame[slot] = f;
        ++wr;
        nextFrame = (f + 1) % nt;
        readyCv.notify_all();
      }
    }
  }

  void throwIfFailed() const {
    if (!error.empty()) throw std::runtime_error(error);
  }

  void seek(int i) {
    if (i < 0 || i >= nt)
      throw std::runtime_error("le_driver: seek(" + std::to_string(i) + ") outside [0," + std::to_string(nt) + ")");
    std::lock_guard lk(stateMutex);
    throwIfFailed();
    position = i;
    const int cur = rd < wr ? slotFrame[rd % slots] : seekTarget >= 0 ? seekTarget : nextFrame;
    if (cur == i) return;
    if (seekTarget < 0) {
      // Oldest slot still holding a frame that may be served again.
      uint64_t start = wr >= static_cast<uint64_t>(slots) ? wr - slots + busy : 0;
      start = std::max(start, pinned);
      if (rd > static_cast<uint64_t>(hist) + 1) start = std::max(start, rd - 1 - hist);
      for (uint64_t s = start; s < wr; ++s) {
        if (slotFrame[s % slots] == i) {
          rd = s;
          spaceCv.notify_one();
          return;
        }
      }
      if (nextFrame == i) {
        rd = wr;
        spaceCv.notify_one();
        return;
      }
    }
    ++gen;
    ++seeks;
    rd = wr;
    seekTarget = i;
    spaceCv.notify_one();
  }

  uint8_t* take(int* index, bool mut) {
    std::unique_lock lk(stateMutex);
    readyCv.wait(lk, [&] { return rd < wr || !error.empty(); });
    throwIfFailed();
    const size_t slot = rd % slots;
    ++rd;
    if (mut) pinned = rd;
    spaceCv.notify_one();
    *index = slotFrame[slot];
    position = (*index + 1) % nt;
    return ring[slot].data();
  }

  // The copying forms copy under apiMutex: no other consumer can advance
  // the ring far enough for the reader to reuse the slot meanwhile.
  uint8_t* takeSequential(int* index, bool mut, uint8_t* copyTo = nullptr) {
    std::lock_guard api(apiMutex);
    int pos;
    {
      std::lock_guard lk(stateMutex);
      pos = position;
    }
    seek(pos);
    uint8_t* frame = take(index, mut);
    if (copyTo) std::memcpy(copyTo, frame, frameBytes);
    return frame;
  }

  uint8_t* takeAt(int i, int* index, bool mut, uint8_t* copyTo = nullptr) {
    std::lock_guard api(apiMutex);
    seek(i);
    uint8_t* frame = take(index, mut);
    if (*index != i)
      throw std::runtime_error("le_driver: cursor yielded frame " + std::to_string(*index) +
                               " for si=" + std::to_string(i));
    if (copyTo) std::memcpy(copyTo, frame, frameBytes);
    return frame;
  }
};

DriverCursor::DriverCursor(std::unique_ptr<driver::Source> src, int lookAhead, int history)
    : impl_(std::make_unique<Impl>(std::move(src), lookAhead, history)),
      nt_(impl_->nt),
      w_(impl_->w),
      h_(impl_->h),
      frameBytes_(impl_->frameBytes),
      name_(impl_->src->name()) {
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

DriverCursor::~DriverCursor() {
  {
    std::lock_guard lk(impl_->stateMutex);
    impl_->stop = true;
  }
  impl_->spaceCv.notify_all();
  impl_->readyCv.notify_all();
  impl_->thread.join();
}

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> src, int lookAhead, int history) {
  return std::make_unique<DriverCursor>(std::move(src), lookAhead, history);
}

std::unique_ptr<DriverCursor> DriverCursor::open(const driver::VideoMembers& m, int lookAhead, int history) {
  const std::string& jpg = m.jpgName;
  const std::string& mp4 = m.mp4Name;
  const std::string& jpgDir = m.jpgDir;
  char last[32];
  std::snprintf(last, sizeof last, "/frame_%06d.jpg", m.NT - 1);
  const bool populated = canOpen(jpgDir + last);
  const std::string& mp4Path = m.mp4Path;
  const bool haveMp4 = canOpen(mp4Path);
  const char* prefer = std::getenv("LE_DRIVER_PREFER_MP4");
  const bool preferMp4 = prefer && std::strcmp(prefer, "1") == 0 && populated && haveMp4;
  if (preferMp4) {
    std::fprintf(stderr,
                 "[le-driver] LE_DRIVER_PREFER_MP4=1 \u2014 %s/ is populated and NOT used; %s is the member this "
                 "consumer reads\n",
                 jpgDir.c_str(), mp4Path.c_str());
  } else if (populated) {
    std::fprintf(stderr, "[le-driver] %s/ (raw jpg, %d frames) \u2014 read one frame per pull\n", jpgDir.c_str(),
                 m.NT);
    return over(driver::openJpgDir(jpgDir, m.NT, m.W, m.H), lookAhead, history);
  }
  if (!haveMp4)
    throw std::runtime_error("this bundle carries neither a populated " + jpg + "/ nor " + mp4 + " (" + mp4Path +
                             ") \u2014 there is no driver video to play. REFUSING to create a session.");
  auto src = driver::openMp4(mp4Path, m.NT, m.W, m.H);
  std::fprintf(stderr,
               "[le-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) \u2014 no frame of "
               "the driver is expanded ahead of the paste\n",
               mp4Path.c_str(), src->name().c_str(), m.NT, m.W, m.H, std::max(1, lookAhead), history);
  return over(std::move(src), lookAhead, history);
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const driver::VideoMembers& m, int lookAhead, int history) {
  const std::string& name = m.priorName;
  const std::string& path = m.priorPath;
  if (!canOpen(path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + name + " (" + path +
                             ") \u2014 there is no warp prior to play. REFUSING to create a session.");
  auto src = driver::openPriorHevc(path, m.NT, m.crop);
  std::fprintf(stderr,
               "Corvamel: identity source ready \u2014 %d frames %dx%d, played straight from %s (%s); nothing is "
               "unpacked to disk\n",
               m.NT, m.crop, m.crop, path.c_str(), src->name().c_str());
  return over(std::move(src), lookAhead, history);
}

int DriverCursor::pull(uint8_t* out) {
  int index = 0;
  impl_->takeSequential(&index, false, out);
  return index;
}

const uint8_t* DriverCursor::pull(int* index) { return impl_->takeSequential(index, false); }

uint8_t* DriverCursor::pullMut(int* index) { return impl_->takeSequential(index, true); }

int DriverCursor::pullAt(int i, uint8_t* out) {
  int index = 0;
  impl_->takeAt(i, &index, false, out);
  return index;
}

const uint8_t* DriverCursor::pullAt(int i, int* index) { return impl_->takeAt(i, index, false); }

uint8_t* DriverCursor::pullMutAt(int i, int* index) { return impl_->takeAt(i, index, true); }

void DriverCursor::seek(int i) {
  std::lock_guard api(impl_->apiMutex);
  impl_->seek(i);
}

int DriverCursor::position() const {
  std::lock_guard lk(impl_->stateMutex);
  return impl_->position;
}

size_t DriverCursor::residentBytes() const {
  return static_cast<size_t>(impl_->slots) * frameBytes_ + impl_->src->residentBytes();
}

uint64_t DriverCursor::seeks() const {
  std::lock_guard lk(impl_->stateMutex);
  return impl_->seeks;
}

}  // namespace le
