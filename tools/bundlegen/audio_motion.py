"""The motion directory of a bundle (`motion/`): motion generator graphs and their tables.

Sample graphs, in the spirit of `audio.py`:

- hubert_student: log-mel [1, 80, 21] (band-major) -> [1, 20, 1024]: band
  levels above a floor, averaged over adjacent mel frames (20 feature frames),
  the 64-value speech descriptor of `audio.descriptor_weights` over the mel
  bands, tiled 16 times and stored at 1 / FEATURE_STD (hubert_fstd.bin
  restores the scale).
- lmdm: motion [1, 80, 265] from kp [1, 265] and the conditioning rows
  [1, 80, 1103]: dimensions [0, 202) repeat the kp (no pose motion), the
  expression dimensions [202, 265) are the kp's plus the lip patterns of
  `audio` driven by each frame's loudness and brightness, smoothed over 5 frames.
- stitch: x_s passes; x_d gets a head nod, all points moved down by
  NOD times the growth of the inner-lip opening over the source's.

Tables: a Hann STFT window, an 80-band mel matrix (40 Hz..7.8 kHz), 4
emotion vectors, and source-info rows that put each template frame's
keypoints at scale 1, no translation, with pose logits peaked at 0 degrees.
"""
import json

import numpy as np

import audio
from audio import F32, Net

NFFT, BINS, MELS = 512, 257, 80
MEL_FRAMES, FEATURE_FRAMES, FEATURE_WIDTH = 21, 20, 1024
COND, KP, CHUNK = 1103, 265, 80
EXPR = 202                              # first expression dimension of a motion row
N_EMO = 4
MEL_FLOOR = -3.0                        # log-mel magnitude below which a band is silent
MEL_LEVEL = 0.25                        # descriptor scale over mel band levels
WIDE_CENTRE = -0.25                     # brightness of a neutral mouth on the mel descriptor
FEATURE_STD = 2.0
SMOOTH_TAPS = (0.1, 0.2, 0.4, 0.2, 0.1)
NOD = 0.3
POSE_BINS, POSE_WIDTH = 66, 3.0         # logits -((i - 32.5) / width)^2 / 2: expectation exactly 0 degrees
ROW = 328                               # source-info row


def stft_window():
    return (0.5 - 0.5 * np.cos(2.0 * np.pi * np.arange(NFFT) / NFFT)).astype(np.float32)


def mel_edges():
    return audio.mel_inverse(np.linspace(audio.mel(audio.F_LO), audio.mel(audio.F_HI), MELS + 2))


def mel_matrix():
    """[257, 80] triangular mel filters, bin-major."""
    f = np.arange(BINS) * audio.RATE / NFFT
    edges = mel_edges()
    lo, mid, hi = edges[:-2], edges[1:-1], edges[2:]
    rise = (f[:, None] - lo) / (mid - lo)
    fall = (hi - f[:, None]) / (hi - mid)
    return np.maximum(0.0, np.minimum(rise, fall)).astype(np.float32)


def student_model():
    g = Net("hubert_student")
    e = g("Relu", g("Sub", "mel", g.const(MEL_FLOOR)))
    pairs = g("Add", g.sl(e, [2], [0], [FEATURE_FRAMES]), g.sl(e, [2], [1], [MEL_FRAMES]))
    levels = g("Transpose", g("Mul", pairs, g.const(0.5)), perm=[0, 2, 1])
    shape = g("Sub", levels, g("ReduceMean", levels, axes=[2], keepdims=1))
    we, ws = audio.descriptor_weights(mel_edges()[1:-1], MEL_LEVEL / FEATURE_STD)
    d = audio.descriptor(g, levels, shape, we, ws)
    g.output(g("Tile", d, g.ints(1, 1, FEATURE_WIDTH // audio.DESC)), "feat")
    return g.model([("mel", F32, [1, MELS, MEL_FRAMES])], [("feat", F32, [1, FEATURE_FRAMES, FEATURE_WIDTH])])


def lmdm_model():
    g = Net("lmdm")
    z = g("Sub", g("Mul", g("Gather", "cond", g.ints(audio.LOUD, audio.BRIGHT), axis=2),
                   g.const(audio.drive_weights(1.0))),
          g.const([audio.OPEN_BIAS, audio.WIDE_GAIN * WIDE_CENTRE]))
    drive = g("Transpose", audio.lip_drive(g, z), perm=[0, 2, 1])                 # [1, 2, 80]
    half = len(SMOOTH_TAPS) // 2
    taps = np.tile(np.float32(SMOOTH_TAPS), (2, 1, 1))
    drive = g("Conv", g("Pad", drive, g.ints(0, 0, half, 0, 0, half), mode="edge"), g.const(taps),
              kernel_shape=[len(SMOOTH_TAPS)], group=2)
    lips = g("MatMul", g("Transpose", drive, perm=[0, 2, 1]), g.const(audio.lip_patterns().astype(np.float32)))
    expr = g("Add", lips, g("Unsqueeze", g.sl("kp", [1], [EXPR], [KP]), g.ints(1)))
    rest = g("Expand", g("Unsqueeze", g.sl("kp", [1], [0], [EXPR]), g.ints(1)), g.ints(1, CHUNK, EXPR))
    g.output(g("Concat", rest, expr, axis=2), "motion")
    return g.model([("kp", F32, [1, KP]), ("cond", F32, [1, CHUNK, COND])], [("motion", F32, [1, CHUNK, KP])])


def stitch_model():
    g = Net("stitch")

    def opening(x):
        return g("Sub", g.sl(x, [1, 2], [20, 1], [21, 2]), g.sl(x, [1, 2], [19, 1], [20, 2]))
    growth = g("Sub", opening("x_d"), opening("x_s"))                                # [1, 1, 1]
    g.output(g("Identity", "x_s"), "x_s_st")
    g.output(g("Add", "x_d", g("Mul", growth, g.const([[[0.0, NOD, 0.0]]]))), "x_d_st")
    return g.model([("x_s", F32, [1, 21, 3]), ("x_d", F32, [1, 21, 3])],
                   [("x_s_st", F32, [1, 21, 3]), ("x_d_st", F32, [1, 21, 3])])


def probe_student():
    g = Net("hubert_student_probe")
    f = g.const(np.arange(FEATURE_FRAMES, dtype=np.float32).reshape(1, -1, 1))
    bands = [g("Transpose", g.sl("mel", [1, 2], [b, 0], [b + 1, FEATURE_FRAMES]), perm=[0, 2, 1]) for b in (0, 79)]
    g.output(audio.zero_pad(g, g("Concat", f, *bands, axis=2), 3, FEATURE_WIDTH - 3), "feat")
    return g.model([("mel", F32, [1, MELS, MEL_FRAMES])], [("feat", F32, [1, FEATURE_FRAMES, FEATURE_WIDTH])])


def probe_lmdm():
    g = Net("lmdm_probe")
    last = g("Expand", g("Unsqueeze", g.sl("kp", [1], [EXPR - 1], [EXPR]), g.ints(1)), g.ints(1, CHUNK, 1))
    g.output(g("Concat", g.sl("cond", [2], [0], [KP - 1]), last, axis=2), "motion")
    return g.model([("kp", F32, [1, KP]), ("cond", F32, [1, CHUNK, COND])], [("motion", F32, [1, CHUNK, KP])])


def probe_stitch():
    g = Net("stitch_probe")
    g.output(g("Identity", "x_s"), "x_s_st")
    g.output(g("Identity", "x_d"), "x_d_st")
    return g.model([("x_s", F32, [1, 21, 3]), ("x_d", F32, [1, 21, 3])],
                   [("x_s_st", F32, [1, 21, 3]), ("x_d_st", F32, [1, 21, 3])])


BUILDERS = {
    "sample": {"hubert_student.onnx": student_model, "lmdm.onnx": lmdm_model, "stitch.onnx": stitch_model},
    "probe": {"hubert_student.onnx": probe_student, "lmdm.onnx": probe_lmdm, "stitch.onnx": probe_stitch},
}


def models(kind):
    return {name: build() for name, build in BUILDERS[kind].items()}


def pose_logits():
    return (-0.5 * ((np.arange(POSE_BINS) - (POSE_BINS - 1) / 2.0) / POSE_WIDTH) ** 2).astype(np.float32)


def source_rows(kp):
    """[NT, 328] source-info rows: no expression offset, the template as canonical keypoints, pose 0."""
    rows = np.zeros((len(kp), ROW), np.float32)
    rows[:, 63:126] = kp.reshape(len(kp), 63)
    rows[:, 126:192] = rows[:, 192:258] = rows[:, 262:328] = pose_logits()
    rows[:, 258] = 1.0
    return rows


def tables(kind, kp):
    """name -> bytes of every table of the motion directory for template keypoints kp [NT, 21, 3]."""
    nt = len(kp)
    src = source_rows(kp)
    bounds = np.full((2, KP), 200.0, np.float32)
    bounds[:, EXPR:] = 1.0
    bounds[0] *= -1.0
    fstd = 1.0 if kind == "probe" else FEATURE_STD
    meta = {"nt": nt, "n_src": nt, "n_emo": N_EMO, "s_bridge": 1.0, "delta_pitch": 0.0}
    out = {
        "meta.json": (json.dumps(meta, indent=2) + "\n").encode(),
        "hubert_stft_window.bin": stft_window(),
        "hubert_stft_binmat.bin": mel_matrix(),
        "hubert_fmean.bin": np.zeros(FEATURE_WIDTH),
        "hubert_fstd.bin": np.full(FEATURE_WIDTH, fstd),
        "emo.bin": np.eye(N_EMO, 8),
        "ch_xs_info.bin": src[0],
        "ch_sc.bin": np.zeros(63),
        "ch_eye_open.bin": np.full(2, 0.3),
        "ch_eye_ball.bin": np.zeros(6),
        "v_min_max.bin": bounds,
        "src_xs_info.bin": src,
        "xs_target.bin": kp.reshape(nt, 63),
    }
    return {k: v if isinstance(v, bytes) else np.ascontiguousarray(v, "<f4").tobytes() for k, v in out.items()}


def write(bundle, kind, kp):
    """Writes motion/ (graphs and tables) into a make_bundle.Bundle."""
    for name, data in tables(kind, kp).items():
        bundle.write(f"motion/{name}", data)
    for name, data in audio.cached(models, kind).items():
        bundle.write(f"motion/{name}", data)
