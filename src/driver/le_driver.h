// Driver video: forward frame sources over the bundle's video members, and
// the cursor that reads them ahead on its own thread so that consumers can
// pull any recent or upcoming frame without waiting on the decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace le::driver {

// Where a bundle keeps its videos, as its manifest names them: the canvas
// driver (a directory of numbered jpg frames or an mp4 member) and the HEVC
// warp prior, with the dimensions they must have.
struct VideoMembers {
  int NT = 0, W = 0, H = 0, crop = 0;
  std::string jpgName = "target_frames";
  std::string jpgDir;  // bundle directory + "/" + jpgName
  std::string mp4Name = "target_frames.mp4";
  std::string mp4Path;  // resolved member path
  std::string priorName = "P_hevc.mov";
  std::string priorPath;  // resolved member path
};

// A forward-only sequence of NT frames. Read by one thread at a time;
// residentBytes() alone may be asked from any thread.
class Source {
 public:
  virtual ~Source() = default;
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  virtual size_t frameBytes() const { return static_cast<size_t>(W()) * H() * 3; }
  // Writes the next frame into out (frameBytes() bytes, 2-byte aligned);
  // false at the end of the member.
  virtual bool next(uint8_t* out) = 0;
  virtual void rewind() = 0;
  virtual void seek(int i) = 0;
  virtual std::string name() const = 0;
  virtual size_t residentBytes() const = 0;
};

// Numbered JPEG files dir/frame_000000.jpg ... one per frame.
class JpgDirSource final : public Source {
 public:
  JpgDirSource(std::string dir, int nt, int w, int h);
  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  bool next(uint8_t* out) override;
  void rewind() override { pos_ = 0; }
  void seek(int i) override;
  std::string name() const override { return "jpg/stb"; }
  size_t residentBytes() const override { return 0; }

 private:
  std::string dir_;
  int nt_, w_, h_;
  int pos_ = 0;
};

std::unique_ptr<Source> openJpgDir(const std::string& dir, int nt, int w, int h);
// Canvas video (4:2:0) decoded to packed RGB.
std::unique_ptr<Source> openMp4(const std::string& path, int nt, int w, int h);
// HEVC 4:4:4 warp prior decoded to three half-float planes of value/255.
std::unique_ptr<Source> openPriorHevc(const std::string& path, int nt, int side);

// Throws "le_driver: seek outside the member" unless 0 <= i < nt.
void checkSeekTarget(int i, int nt);

}  // namespace le::driver

namespace le {

// "libavcodec <version>" of the linked library, plus " / <configuration>".
std::string movieDecoderBuild();
// "<major>.<minor>.<micro>" of the linked libavcodec.
std::string libavcodecVersion();

// A looping, randomly addressable view of a source's NT frames. A reader
// thread decodes up to lookAhead frames ahead into a ring that also keeps
// the last `history` frames handed out. All methods are thread-safe.
class DriverCursor {
 public:
  DriverCursor(std::unique_ptr<driver::Source> src, int lookAhead, int history);
  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> src, int lookAhead, int history);
  // The bundle's canvas driver: its jpg directory or its mp4 member.
  static std::unique_ptr<DriverCursor> open(const driver::VideoMembers& m, int lookAhead, int history);
  // The bundle's HEVC warp prior.
  static std::unique_ptr<DriverCursor> openPrior(const driver::VideoMembers& m, int lookAhead, int history);

  // Sequential pulls: the frame after the last one handed out (or the last
  // seek target). Pointers stay valid until `history` more frames are taken.
  int pull(uint8_t* out);
  const uint8_t* pull(int* index);
  // The returned frame may be modified in place; it is never served again
  // from history.
  uint8_t* pullMut(int* index);
  int pullAt(int i, uint8_t* out);
  const uint8_t* pullAt(int i, int* index);
  uint8_t* pullMutAt(int i, int* index);
  void seek(int i);

  int position() const;
  size_t residentBytes() const;
  uint64_t seeks() const;

  int NT() const { return nt_; }
  int W() const { return w_; }
  int H() const { return h_; }
  size_t frameBytes() const { return frameBytes_; }
  const std::string& name() const { return name_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int nt_, w_, h_;
  size_t frameBytes_;
  std::string name_;
};

}  // namespace le
