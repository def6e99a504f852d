"""Video members, encoded by the ffmpeg command from frames we convert ourselves.

The colour conversion to Y'CbCr is done here (limited-range BT.601, the
inverse of the integer formulas the engine decodes a prior with), so the
encoder sees exactly the samples we mean; ffmpeg only compresses.  Every
encode is single-threaded with bit-exact flags and no metadata, so the same
frames give the same bytes.
"""
import os
import subprocess

import numpy as np

FPS = 25
BITEXACT = ["-fflags", "+bitexact", "-flags:v", "+bitexact", "-flags:a", "+bitexact",
            "-map_metadata", "-1", "-threads", "1"]
BT601 = ["-color_range", "tv", "-colorspace", "bt470bg", "-color_primaries", "bt470bg",
         "-color_trc", "smpte170m"]


def rgb_to_yuv(rgb):
    """uint8 H x W x 3 RGB to full-resolution limited-range BT.601 Y, U, V planes."""
    r, g, b = (rgb[..., k].astype(np.float64) for k in range(3))
    y = 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0
    u = 128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0
    v = 128.0 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0
    return [np.clip(np.rint(p), 0, 255).astype(np.uint8) for p in (y, u, v)]


def yuv_to_rgb(y, u, v):
    """The engine's integer limited-range BT.601 conversion (a decoded 4:4:4 prior)."""
    c = (y.astype(np.int32) - 16) * 76312
    d = u.astype(np.int32) - 128
    e = v.astype(np.int32) - 128
    r = (c + 104600 * e + 32768) >> 16
    g = (c - 25672 * d - 53280 * e + 32768) >> 16
    b = (c + 132200 * d + 32768) >> 16
    return np.clip(np.stack([r, g, b], axis=-1), 0, 255).astype(np.uint8)


def through_yuv444(rgb):
    """What a lossless 4:4:4 prior of rgb decodes to in the engine."""
    return yuv_to_rgb(*rgb_to_yuv(rgb))


def _subsample(plane, sx, sy):
    h, w = plane.shape
    p = plane.astype(np.uint32).reshape(h // sy, sy, w // sx, sx)
    n = sx * sy
    return ((p.sum(axis=(1, 3)) + n // 2) // n).astype(np.uint8)


JPEG = ["-c:v", "mjpeg", "-q:v", "2", "-pix_fmt", "yuvj444p"]
CHROMA_STEP = {"yuv444p": (1, 1), "yuv422p": (2, 1), "yuv420p": (2, 2)}


def planar(rgb, pix_fmt):
    """Raw planar bytes of one frame in pix_fmt (yuv444p, yuv422p or yuv420p)."""
    y, u, v = rgb_to_yuv(rgb)
    sx, sy = CHROMA_STEP[pix_fmt]
    if (sx, sy) != (1, 1):
        u, v = _subsample(u, sx, sy), _subsample(v, sx, sy)
    return b"".join(p.tobytes() for p in (y, u, v))


class Encoder:
    """One ffmpeg process fed raw frames on its standard input."""

    def __init__(self, w, h, pix_fmt, out_args, extra_inputs=()):
        cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y",
               "-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", f"{w}x{h}", "-r", str(FPS), "-i", "-",
               *extra_inputs, *out_args]
        self.cmd = cmd
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stderr=subprocess.PIPE)

    def write(self, data):
        self.proc.stdin.write(data)

    def close(self):
        self.proc.stdin.close()
        err = self.proc.stderr.read()
        self.proc.stderr.close()
        if self.proc.wait() != 0:
            raise RuntimeError(f"ffmpeg failed ({' '.join(self.cmd)}): {err.decode(errors='replace')}")


class FrameWriter:
    """Feeds RGB frames to an Encoder in the raw layout it was opened with."""

    pix_fmt = "rgb24"
    enc = None

    def write(self, rgb):
        self.enc.write(rgb.tobytes() if self.pix_fmt == "rgb24" else planar(rgb, self.pix_fmt))

    def close(self):
        self.enc.close()


class JpgDir(FrameWriter):
    """Numbered frame_%06d.jpg files from frame 0."""

    def __init__(self, directory, w, h):
        os.makedirs(directory, exist_ok=True)
        self.enc = Encoder(w, h, "rgb24", [*JPEG, "-start_number", "0", *BITEXACT,
                                           os.path.join(directory, "frame_%06d.jpg")])


class H264(FrameWriter):
    """H.264 canvas video in an mp4 (4:2:0 unless a defect asks otherwise)."""

    def __init__(self, path, w, h, pix_fmt="yuv420p", audio_seconds=0.0):
        self.pix_fmt = pix_fmt
        extra, amap = (), []
        if audio_seconds > 0:
            extra = ("-f", "lavfi", "-i", f"sine=frequency=220:sample_rate=16000:duration={audio_seconds:.2f}")
            amap = ["-map", "1:a", "-c:a", "aac", "-b:a", "32k"]
        self.enc = Encoder(w, h, pix_fmt, ["-map", "0:v", *amap, "-c:v", "libx264", "-preset", "veryfast",
                                           "-crf", "16", "-g", "50",
                                           "-x264-params", "threads=1:lookahead-threads=1",
                                           *BT601, *BITEXACT, "-f", "mp4", path], extra)


class Hevc(FrameWriter):
    """Lossless HEVC warp prior (4:4:4 unless a defect asks otherwise).

    `container` is "mov" (declares its frame count) or "hevc" (a bare
    elementary stream, which declares none).
    """

    def __init__(self, path, side, pix_fmt="yuv444p", container="mov"):
        self.pix_fmt = pix_fmt
        tag = ["-tag:v", "hvc1"] if container == "mov" else []
        self.enc = Encoder(side, side, pix_fmt, [
            "-c:v", "libx265", "-preset", "fast",
            "-x265-params", "lossless=1:pools=none:frame-threads=1:info=0:log-level=error",
            *tag, *BT601, *BITEXACT, "-f", container, path])


def jpg_frame(path, rgb):
    """A single jpg, encoded like the frames of a JpgDir."""
    h, w, _ = rgb.shape
    enc = Encoder(w, h, "rgb24", [*JPEG, *BITEXACT,
                                  "-frames:v", "1", "-update", "1", path])
    enc.write(rgb.tobytes())
    enc.close()
