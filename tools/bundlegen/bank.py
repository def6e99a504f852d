"""The mouth borrow's donor bank: "tessera_bank.v1.mp4" and its sidecar "tessera_bank.v1.json".

Donors are the drawn face with teeth in the open mouth, at N mouth openings
from closed to wide, each on the pose of a seeded target frame (so donor mouths
sit a few pixels apart, as a real bank's do).  Every donor stores one patch of
the face crop: the same canvas rectangle for all donors, the band of the
geometry stamp widened by shift_margin on every side.

The stamp is derived from the pi geometry the bank is built against, the
smallest known one (pad 0.05 x 0.08, down 0.015, no corner rule; the engine
identifies it from c_canon): the band is the union of pi's support boxes over
the target frames, the target frames opened and widened as speech moves the
lips, and the donors; pad (and shift_margin) is the largest shift of their pi
centroids from the canonical centroid, plus a pixel; the window is the band
grown by pad and rounded up to multiples of 4.  c_canon is the canonical
centroid over the target frames, each donor's cent its own pi centroid and its
aperture the inner-lip opening in pixels.

The track holds one frame per donor in a seeded track order (a permutation,
never the identity), encoded losslessly in RGB (libx264rgb, qp 0), which the
decoder gives back as planar gbrp: the engine's RGB conversion of it returns
the drawn patches exactly.  `test_tracks` writes the odd tracks the decoder's
tests need.
"""
import json
import math
import os
import subprocess

import numpy as np

import audio
import video
from face import Expression, FaceGeometry
from keypoints import LIP_ROWS, keypoints

TRACK = "tessera_bank.v1.mp4"
SIDECAR = "tessera_bank.v1.json"
FORMAT = "tessera_bank.v1"
HEAD_WEIGHTS = "tessera_head.v1.pt"
HEAD_CONFIG = "tessera_head.v1.json"
CODEC, PIX_FMT = "h264", "gbrp"
CONTAINER, PACKING = "mp4", "rgb24_frames"
PLANES = ("utterance", "offline")
STAMP_KEYS = ("canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h", "pad",
              "band_r0", "band_r1", "band_c0", "band_c1", "shift_margin")
# the known pi geometries (pad_x, pad_y, down); the bank is built against the first
CORPUS = {"v1": (0.05, 0.08, 0.015), "v2": (0.10, 0.08, 0.074), "v3": (0.14, 0.08, 0.074)}
BUILT_AGAINST = "v1"
MATCH_PX, AMBIGUOUS_PX = 8.0, 3.0   # how near c_canon the engine wants the best row, how far the next
LOSSLESS_RGB = ["-c:v", "libx264rgb", "-qp", "0", "-preset", "veryfast",
                "-x264-params", "threads=1:lookahead-threads=1", *video.BITEXACT]


def _smoothstep(u):
    return u * u * (3.0 - 2.0 * u)


class Pi:
    """The engine's pi mask for one corpus geometry (lip ellipse and teeth gate, corner rule off),
    computed as it computes it: float32 keypoints and grid, double arithmetic."""

    def __init__(self, canvas, geometry, gate_scale=1.0, lip_idx=LIP_ROWS):
        self.canvas = canvas
        self.pad_x, self.pad_y, self.down = (float(np.float32(v)) for v in geometry)
        self.gate_scale = float(np.float32(gate_scale))
        self.lip_idx = list(lip_idx)
        i = np.arange(canvas, dtype=np.float64)
        self.grid = (2.0 * i / (canvas - 1) - 1.0).astype(np.float32).astype(np.float64) if canvas > 1 \
            else np.full(canvas, -1.0)

    def _stats(self, kp):
        p = np.asarray(kp, np.float32).reshape(21, 3)[self.lip_idx, :2].astype(np.float64)
        c = p.mean(axis=0)
        a = np.abs(p - c).max(axis=0)
        return c, a

    def _ellipses(self, kp):
        """(cx, cy, rx, ry) of the lip ellipse and of the gate ellipse, and the gate's opening."""
        (cx, cy), (ax, ay) = self._stats(kp)
        lip = (cx, cy + self.down, max(0.1, ax + self.pad_x), max(0.1, ay + self.pad_y))
        s = self.gate_scale
        gate = (cx, cy, max(0.004, ax) * s, max(0.004, ay) * s)
        return lip, gate, _smoothstep(min(max((ay - 0.02) / 0.01, 0.0), 1.0))

    def _box(self, e):
        half, n = (self.canvas - 1) / 2.0, self.canvas
        cx, cy, rx, ry = e

        def span(c, r):
            lo = int(min(max(math.floor((c - r + 1.0) * half) - 1.0, 0.0), n))
            return lo, max(int(min(max(math.ceil((c + r + 1.0) * half) + 2.0, 0.0), n)), lo)
        (x0, x1), (y0, y1) = span(cx, rx), span(cy, ry)
        return x0, y0, x1, y1

    def support_box(self, kp):
        lip, gate, _ = self._ellipses(kp)
        a, b = self._box(lip), self._box(gate)
        return min(a[0], b[0]), min(a[1], b[1]), max(a[2], b[2]), max(a[3], b[3])

    def u8(self, kp):
        """canvas x canvas bytes of max(lip, gate) (zero outside the support box, as it is anyway)."""
        lip, gate, g = self._ellipses(kp)
        out = np.zeros((self.canvas, self.canvas), np.uint8)
        x0, y0, x1, y1 = self.support_box(kp)
        gx, gy = np.meshgrid(self.grid[x0:x1], self.grid[y0:y1])

        def value(e):
            cx, cy, rx, ry = e
            t = (1.0 - np.hypot((gx - cx) / rx, (gy - cy) / ry)) * math.sqrt(rx * ry) * 256.0 / 10.0
            return np.where(t > 0.0, _smoothstep(np.minimum(t, 1.0)), 0.0)
        v = np.maximum(value(lip), value(gate) * g)
        out[y0:y1, x0:x1] = np.rint(np.clip(v, 0.0, 1.0) * 255.0)
        return out

    def centroid(self, kp):
        """(x, y): mean column and row of the mask bytes >= 128, or None when there are none."""
        rows, cols = np.nonzero(self.u8(kp) >= 128)
        return (float(cols.mean()), float(rows.mean())) if len(rows) else None

    def canonical(self, frames):
        cs = [c for c in (self.centroid(kp) for kp in frames) if c is not None]
        if not cs:
            raise ValueError("bank: pi is empty on every target frame")
        return tuple(np.mean(cs, axis=0))


def spoken(kp):
    """The target frames with the lips moved as far as the speech models move them."""
    open_, wide = audio.lip_patterns()
    out = [kp]
    for w in (-1.0, 0.0, 1.0):
        out.append(kp + (open_ + w * wide).reshape(21, 3).astype(np.float32))
    return np.concatenate(out)


def donors(tl, n, seed):
    """n donors (target frame, mouth opening) from closed to wide, and their keypoints [n, 21, 3]."""
    rng = np.random.default_rng([seed, 17])
    frames = rng.integers(tl.nt, size=n)
    openings = np.linspace(0.0, 1.0, n) if n > 1 else np.zeros(1)
    chosen = [(int(f), float(o)) for f, o in zip(frames, openings)]
    kps = [keypoints(FaceGeometry(Expression(1.0, o, True), tl.poses[f].yaw), tl.poses[f], tl.M[f], tl.crop)
           for f, o in chosen]
    return chosen, np.array(kps, np.float32)


def stamp(pi, boxes, shifts, crop):
    """The geometry stamp (a dict in stamp-key order) for the union of the support boxes and the
    largest centroid shift."""
    boxes = np.array(boxes)
    bx0, by0 = int(boxes[:, 0].min()), int(boxes[:, 1].min())
    bx1, by1 = int(boxes[:, 2].max()), int(boxes[:, 3].max())
    pad = int(math.ceil(max(np.abs(shifts).max(), 0.0))) + 1
    wx0, wy0 = max(bx0 - pad, 0), max(by0 - pad, 0)
    ww = min(-(-(bx1 + pad - wx0) // 4) * 4, crop - wx0)
    wh = min(-(-(by1 + pad - wy0) // 4) * 4, crop - wy0)
    # even stored patches (the band grows by a row or column inside the window when odd)
    r0, r1, c0, c1 = by0 - wy0, by1 - wy0, bx0 - wx0, bx1 - wx0
    r1 += (r1 - r0) % 2
    c1 += (c1 - c0) % 2
    s = dict(zip(STAMP_KEYS, (crop, crop, wx0, wy0, ww, wh, pad, r0, r1, c0, c1, pad)))
    problems = incoherent(s)
    if problems:
        raise ValueError(f"bank: stamp {s} is incoherent: {'; '.join(problems)}")
    return s


def incoherent(s):
    """The rules a stamp breaks (the engine refuses such a stamp), and a stored patch that leaves
    the canvas."""
    out = []
    if not (s["window_w"] > 0 and s["window_h"] > 0):
        out.append("window dims must be positive")
    if not (s["window_x0"] >= 0 and s["window_x0"] + s["window_w"] <= s["canvas_w"]):
        out.append("window x-range escapes canvas")
    if not (s["window_y0"] >= 0 and s["window_y0"] + s["window_h"] <= s["canvas_h"]):
        out.append("window y-range escapes canvas")
    if not (0 <= s["band_r0"] < s["band_r1"] <= s["window_h"]):
        out.append("band rows escape window")
    if not (0 <= s["band_c0"] < s["band_c1"] <= s["window_w"]):
        out.append("band cols escape window")
    if not (s["pad"] > 0 and s["shift_margin"] >= 0):
        out.append("pad/shift_margin must be positive")
    m = s["shift_margin"]
    if not (s["band_r0"] + s["pad"] >= m and s["band_r1"] + m <= s["window_h"] + s["pad"]):
        out.append("stored band rows escape patch")
    if not (s["band_c0"] + s["pad"] >= m and s["band_c1"] + m <= s["window_w"] + s["pad"]):
        out.append("stored band cols escape patch")
    x0, y0, w, h = patch_rect(s)
    if x0 < 0 or y0 < 0 or x0 + w > s["canvas_w"] or y0 + h > s["canvas_h"]:
        out.append("stored patch leaves the canvas")
    return out


def patch_rect(s):
    """(x0, y0, w, h) of the stored patch on the canvas."""
    m = s["shift_margin"]
    return (s["window_x0"] + s["band_c0"] - m, s["window_y0"] + s["band_r0"] - m,
            s["band_c1"] - s["band_c0"] + 2 * m, s["band_r1"] - s["band_r0"] + 2 * m)


def track_order(n, seed):
    """A seeded permutation of 0..n-1 that is not the identity (for n > 1)."""
    order = np.random.default_rng([seed, 19]).permutation(n)
    if n > 1 and np.array_equal(order, np.arange(n)):
        order = np.roll(order, 1)
    return [int(v) for v in order]


def build(tl, fm, n, seed, gate_scale=1.0):
    """The bank of a timeline: (sidecar dict, donor patches [n, h, w, 3] uint8 in donor order)."""
    crop = tl.crop
    pi = Pi(crop, CORPUS[BUILT_AGAINST], gate_scale)
    canon = pi.canonical(tl.kp)
    check_corpus(crop, tl.kp, canon, gate_scale)
    chosen, dkp = donors(tl, n, seed)
    frames = np.concatenate([spoken(tl.kp), dkp])
    cents = [pi.centroid(kp) for kp in frames]
    if any(c is None for c in cents):
        raise ValueError("bank: a donor or driven frame has an empty pi")
    s = stamp(pi, [pi.support_box(kp) for kp in frames], np.array(cents) - np.array(canon), crop)
    x0, y0, w, h = patch_rect(s)
    patches = np.stack([fm.crop_part(f, Expression(1.0, o, True), x0, y0, w, h) for f, o in chosen])
    donor_cent = cents[-n:]
    aperture = [(kp[20, 1] - kp[19, 1]) * crop / 2.0 for kp in dkp]
    sidecar = {"format": FORMAT, "geometry": s, "n_donors": n, "track_order": track_order(n, seed),
               "cent": [_r(c) for c in donor_cent], "aperture": _r(aperture), "c_canon": _r(canon),
               "codec": {"codec": CODEC, "pix_fmt": PIX_FMT}}
    return sidecar, patches


def check_corpus(crop, kp, canon, gate_scale):
    """The engine identifies the bank's geometry from c_canon: the row it was built against must be
    the nearest, clearly."""
    dist = {name: math.dist(Pi(crop, g, gate_scale).canonical(kp), canon) for name, g in CORPUS.items()}
    ranked = sorted(dist, key=dist.get)
    if ranked[0] != BUILT_AGAINST or dist[ranked[1]] - dist[ranked[0]] <= AMBIGUOUS_PX:
        raise ValueError(f"bank: c_canon does not single out {BUILT_AGAINST}: {dist}")


def manifest_block(sidecar):
    """The manifest's `tessera` block for a bank."""
    return {"members": {"bank_track": TRACK, "bank_sidecar": SIDECAR, "head_weights": HEAD_WEIGHTS,
                        "head_config": HEAD_CONFIG},
            "planes": list(PLANES), "geometry": dict(sidecar["geometry"]), "bank_container": CONTAINER,
            "bank_codec": CODEC, "bank_pix_fmt": PIX_FMT, "bank_packing": PACKING}


def write(root, tl, fm, n, seed, gate_scale=1.0):
    """Writes the track and the sidecar into the bundle directory; returns (sidecar, patches)."""
    sidecar, patches = build(tl, fm, n, seed, gate_scale)
    encode(os.path.join(root, TRACK), patches[sidecar["track_order"]])
    with open(os.path.join(root, SIDECAR), "w", encoding="utf-8") as f:
        f.write(json.dumps(sidecar, separators=(",", ":")) + "\n")
    return sidecar, patches


def encode(path, frames, audio_first=False):
    """Lossless RGB H.264 of frames [n, h, w, 3] in an mp4; audio_first puts an AAC stream before it."""
    n, h, w, _ = frames.shape
    extra, maps = (), ["-map", "0:v"]
    if audio_first:
        extra = ("-f", "lavfi", "-i", f"sine=frequency=330:sample_rate=16000:duration={n / video.FPS:.2f}")
        maps = ["-map", "1:a", "-map", "0:v", "-c:a", "aac", "-b:a", "32k"]
    enc = video.Encoder(w, h, "rgb24", [*maps, *LOSSLESS_RGB, "-f", "mp4", path], extra)
    enc.write(np.ascontiguousarray(frames).tobytes())
    enc.close()


def test_tracks(directory, seed=1):
    """The odd tracks of the decoder's tests, each with the frames it holds (track order, raw RGB)."""
    os.makedirs(directory, exist_ok=True)
    rng = np.random.default_rng([seed, 23])

    def frames(n, h, w):
        return rng.integers(0, 256, (n, h, w, 3), dtype=np.uint8)

    def keep(name, f, **kw):
        encode(os.path.join(directory, name + ".mp4"), f, **kw)
        with open(os.path.join(directory, name + ".rgb"), "wb") as out:
            out.write(f.tobytes())

    keep("pair_64x64", frames(2, 64, 64))
    keep("pair_64x48", frames(2, 48, 64))
    keep("audio_first", frames(3, 64, 64), audio_first=True)
    # an mp4 with audio alone
    _ffmpeg(["-f", "lavfi", "-i", "sine=frequency=330:sample_rate=16000:duration=0.2", "-c:a", "aac",
             "-b:a", "32k", *video.BITEXACT, "-f", "mp4", os.path.join(directory, "audio_only.mp4")])
    # the pair whose sample entry names a codec nobody decodes
    with open(os.path.join(directory, "pair_64x64.mp4"), "rb") as f:
        data = f.read()
    at = data.rfind(b"avc1")
    with open(os.path.join(directory, "unknown_codec.mp4"), "wb") as f:
        f.write(data[:at] + b"zzzz" + data[at + 4:])
    # one 64x48 frame, then two 64x64 frames in the same stream
    parts = []
    for k, (h, count) in enumerate(((48, 1), (64, 2))):
        part = os.path.join(directory, f"size_change.{k}.h264")
        enc = video.Encoder(64, h, "rgb24", [*LOSSLESS_RGB, "-f", "h264", part])
        enc.write(frames(count, h, 64).tobytes())
        enc.close()
        parts.append(part)
    joined = os.path.join(directory, "size_change.h264")
    with open(joined, "wb") as out:
        for part in parts:
            with open(part, "rb") as f:
                out.write(f.read())
            os.remove(part)
    _ffmpeg(["-r", str(video.FPS), "-i", joined, "-c", "copy", *video.BITEXACT, "-f", "mp4",
             os.path.join(directory, "size_change.mp4")])
    os.remove(joined)


def _ffmpeg(args):
    cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", *args]
    done = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True)
    if done.returncode != 0:
        raise RuntimeError(f"ffmpeg failed ({' '.join(cmd)}): {done.stderr.decode(errors='replace')}")


def _r(values):
    return np.round(np.asarray(values, dtype=np.float64), 6).tolist()
