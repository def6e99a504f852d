// The donor bank's video track, decoded from memory into the bank the borrow
// pass consumes: N patches of packed RGB in donor order. Every disagreement
// between the track and its sidecar is refused, never padded, cropped or
// rescaled away. Nothing in the engine calls it: the embedding host does, and
// hands the result to the attach entry points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "borrow/teeth_pass.h"
#include "bundle/le_tessera_members.h"
#include "le/le.h"

namespace le::tessera {

// Decodes the track (size bytes at data) whose frames are the n donor patches
// of w x h pixels in track order; track_order[i] is the donor that track frame
// i holds. Returns n * h * w * 3 bytes, donor d's patch at d * h * w * 3, rows
// of w * 3 bytes top row first, R, G, B per pixel. Throws std::runtime_error
// ("reference bank ..." and the like) with every FFmpeg object freed. Safe to
// call from several threads at once.
LE_API std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int h, int w,
                                            const std::vector<int32_t>& track_order);

// The pass's bank from a bundle's loaded members: the track file read and
// decoded into donor order, with the sidecar's arrays and stamp beside it.
BankData bankFromMembers(const TesseraAttachInputs& in);

// "libavcodec <version compiled against> / <configuration of the linked library>".
LE_API std::string bankDecoderBuild();

// The in-memory cursor behind the decoder's custom I/O context, with FFmpeg's
// read and seek callback signatures (opaque is the MemCursor).
struct MemCursor {
  const uint8_t* data = nullptr;
  int64_t size = 0;
  int64_t pos = 0;
};
// Copies up to n bytes from the position and advances; AVERROR_EOF at the end.
int memRead(void* opaque, uint8_t* buf, int n);
// AVSEEK_SIZE gives the size without moving; from start, current or end (0, 1,
// 2) moves there unless the target lies outside 0..size, which returns -1.
int64_t memSeek(void* opaque, int64_t offset, int whence);

}  // namespace le::tessera
