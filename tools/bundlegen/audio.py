"""The speech members of a bundle: front-end encoders, streaming a2x encoder and decoder, FCA stream.

There are no trained speech models here, so the sample graphs compute by
hand what a mouth needs from speech, cheaply:

- Front-end trunk: a fixed filterbank as one strided Conv (kernel 160 =
  10 ms, stride 80): 320 Hann-windowed cosine/sine pairs at mel-spaced
  frequencies 40 Hz..7.8 kHz.  Channel b < 320 is the band level
  e = log(1 + K (cos^2 + sin^2)) (0 in silence), channel 320 + b its spectral
  shape e - mean(e).  Output in float16.
- Head: each of the 640 channels averaged over 4 neighbouring bands (80 mel
  bands), then two small matrices give the 64-value speech descriptor
  (`descriptor_weights`): loudness, 31 band levels, brightness (high formant
  band minus low), 31 cosine coefficients of the shape.  Every layer of the
  12 x 768 feature holds the descriptor 12 times, scaled by a layer gain.
- Long-window encoder: the trunk over 8 s (1599 steps), linear interpolation
  at the steps r * 1598 / 199 (r = 0..199) through float16 as the engine
  does for the short window, then the head: both paths give the same features
  up to half precision and the window normalisation.
- Streaming encoder: the descriptor of layer FEAT_LAYER smoothed over time by
  two softmax-attention layers whose scores are the positional kernel
  q_i . k_j (a2x_pos.f32 rows, periodic over POS_PERIOD frames so the
  table's wrap-around is seamless) plus the banded mask.
- Decoders (a2x and FCA): mouth opening o = relu(tanh(a loud - theta)) and
  width w = o tanh(b (bright - b0)) pass a leaky integrator (the recurrent
  state) and a blend with prev, then fixed lip patterns: the lips open
  vertically with loudness (rows 19/20 inner, 6/17 outer), widen or round
  with brightness (corners 12/14), and stay closed in silence.

Probe variants echo their inputs (the table in README.md) for exact tests
of the engine's bookkeeping.
"""
import functools
import json

import numpy as np
from onnx import TensorProto, helper

import director

F32, F16 = TensorProto.FLOAT, TensorProto.FLOAT16
RATE = 16000
KERNEL, STEP = 160, 80                  # trunk step: 80 samples
BANDS, CHANNELS = 320, 640
WIN_SAMPLES, WIN_STEPS = 32000, 399
LONG_SAMPLES, LONG_STEPS, LONG_FRAMES = 128000, 1599, 200
LAYERS, WIDTH = 12, 768
DESC = 64
LOUD, BRIGHT = 0, 32                    # descriptor entries the decoders read
F_LO, F_HI = 40.0, 7800.0
POWER_GAIN = 100.0                      # e = log(1 + POWER_GAIN p): -40 dB below speech reads as silence
TRUNK_LEVEL = 0.1                       # descriptor scale over trunk band levels
LAYER_GAINS = 0.6 + 0.08 * np.arange(LAYERS)
FEAT_LAYER = 6                          # the layer the streaming encoder reads
FCA_LAYERS = range(4, 10)               # the layers the FCA stream averages

H = 64
META = {"h": H, "window": 2, "left": 8, "layers": 2, "silence_prime": 25, "width": False}
NPOS, POS_PERIOD = 128, 64              # rows f >= NPOS repeat with period NPOS - NPOS / 2
POS_SIGMA = 1.5                         # frames: width of the attention's smoothing kernel
SMOOTH = 0.8                            # share of each attention layer's output in its residual mix

# lip drive: o = relu(tanh(OPEN_GAIN loud - OPEN_BIAS)), w = o tanh(WIDE_GAIN (bright - WIDE_CENTRE))
OPEN_GAIN, OPEN_BIAS = 2.0, 0.6
WIDE_GAIN, WIDE_CENTRE = 3.0, -0.4
LEAK, PREV_SHARE = 0.5, 0.3             # recurrent state keeps LEAK; m keeps PREV_SHARE of prev
FCA_H = 384
FCA_OFFSET_WEIGHTS = (0.15, 0.35, 0.25, 0.15, 0.1, 0.0, 0.0)    # context frames -1..5
FCA_OPEN_BIAS = -1.0                    # centred loudness: average speech opens the mouth
# centred features are 0 in the silence before the first speech as in average speech; speech
# varies, so the mouth moves only where the descriptors around the frame do
FCA_ACTIVITY_FRAMES, FCA_ACTIVITY_FLOOR, FCA_ACTIVITY_GAIN = 3, 0.02, 20.0

# keypoint offsets (crop half-sides) of a fully open mouth and of a fully spread one, (row, axis, value)
OPEN_PATTERN = ((6, 1, -0.015), (19, 1, -0.02), (20, 1, 0.06), (17, 1, 0.065),
                (12, 1, 0.02), (14, 1, 0.02), (12, 0, 0.01), (14, 0, -0.01))
WIDE_PATTERN = ((12, 0, -0.03), (14, 0, 0.03), (6, 1, 0.005), (17, 1, -0.005))

PROBE_META = {"h": H, "window": 2, "left": 3, "layers": 2, "silence_prime": 0, "width": True}
PROBE_NPOS = 40


class Net(director.Graph):
    """A graph under construction whose nodes are named in order."""

    def __init__(self, scope):
        super().__init__()
        self.scope, self.count = scope, 0

    def __call__(self, op_type, *inputs, **attrs):
        self.count += 1
        return self.op(op_type, inputs, f"/{self.scope}/{op_type.lower()}{self.count}", **attrs)

    def sl(self, x, axes, starts, ends, steps=None):
        args = [x, self.ints(*starts), self.ints(*ends), self.ints(*axes)]
        return self("Slice", *args, *([self.ints(*steps)] if steps else []))

    def model(self, inputs, outputs):
        def info(name, elem, dims):
            return helper.make_tensor_value_info(name, elem, dims)
        graph = helper.make_graph(self.nodes, self.scope, [info(*i) for i in inputs], [info(*o) for o in outputs],
                                  self.inits)
        return helper.make_model(graph, opset_imports=[helper.make_opsetid("", director.OPSET)],
                                 producer_name="bundlegen", producer_version="1")


def mel(f):
    return 2595.0 * np.log10(1.0 + np.asarray(f, np.float64) / 700.0)


def mel_inverse(m):
    return 700.0 * (10.0 ** (np.asarray(m, np.float64) / 2595.0) - 1.0)


def trunk_frequencies():
    """Centre frequencies (Hz) of the 320 filterbank pairs, mel-spaced."""
    return mel_inverse(np.linspace(mel(F_LO), mel(F_HI), BANDS))


def descriptor_weights(fc, level):
    """(We, Ws) [bands, 32]: the descriptor from band levels e and shape e - mean(e) over bands at fc (Hz).

    We: loudness (mean level over 100 Hz..4 kHz), then 31 band groups; Ws:
    brightness (mean over 1.2..3.5 kHz minus mean over 250..900 Hz, the second
    formant against the first), then cosines 1..31 of the shape.  Both scaled by level.
    """
    n = len(fc)
    we, ws = np.zeros((n, 32)), np.zeros((n, 32))
    speech = (fc >= 100) & (fc <= 4000)
    we[speech, 0] = 1.0 / speech.sum()
    edges = np.rint(np.linspace(0, n, 32)).astype(int)
    for j in range(31):
        we[edges[j]:edges[j + 1], 1 + j] = 1.0 / (edges[j + 1] - edges[j])
    high, low = (fc >= 1200) & (fc <= 3500), (fc >= 250) & (fc <= 900)
    ws[high, 0], ws[low, 0] = 1.0 / high.sum(), -1.0 / low.sum()
    ws[:, 1:] = np.cos(np.pi * np.outer(np.arange(n) + 0.5, np.arange(1, 32)) / n) * (2.0 / n)
    return (we * level).astype(np.float32), (ws * level).astype(np.float32)


def descriptor(g, e, s, we, ws):
    """[..., 64] descriptor from band levels e and shape s ([..., bands])."""
    return g("Concat", g("MatMul", e, g.const(we)), g("MatMul", s, g.const(ws)), axis=-1)


# ---- shared speech front-end -------------------------------------------------------------------

def trunk_levels(g, samples):
    """[1, 640, steps] float32 trunk values of samples [1, N]."""
    omega = 2.0 * np.pi * trunk_frequencies() / RATE
    t = np.arange(KERNEL) - (KERNEL - 1) / 2.0
    hann = 0.5 - 0.5 * np.cos(2.0 * np.pi * (np.arange(KERNEL) + 0.5) / KERNEL)
    # the kernels are computed in the graph (constant-folded at load) to keep the file small
    phase = g("Mul", g.const(omega.reshape(BANDS, 1)), g.const(t.reshape(1, KERNEL)))
    pair = g("Concat", g("Unsqueeze", g("Cos", phase), g.ints(1)), g("Unsqueeze", g("Sin", phase), g.ints(1)), axis=1)
    kernels = g("Reshape", g("Mul", pair, g.const(hann)), g.ints(CHANNELS, 1, KERNEL))
    y = g("Conv", g("Unsqueeze", samples, g.ints(1)), kernels, kernel_shape=[KERNEL], strides=[STEP])
    power = g("ReduceSum", g("Reshape", g("Mul", y, y), g.ints(1, BANDS, 2, -1)), g.ints(2), keepdims=0)
    e = g("Log", g("Add", g("Mul", power, g.const(POWER_GAIN)), g.const(1.0)))
    shape = g("Sub", e, g("ReduceMean", e, axes=[1], keepdims=1))
    return g("Concat", e, shape, axis=1)


def through_half(g, x):
    return g("Cast", g("Cast", x, to=F16), to=F32)


def head_features(g, x):
    """[N, 12, 768] features of trunk rows x [N, 640]."""
    we, ws = descriptor_weights(trunk_frequencies().reshape(-1, 4).mean(axis=1), TRUNK_LEVEL)

    def bands(lo):
        return g("ReduceMean", g("Reshape", g.sl(x, [1], [lo], [lo + BANDS]), g.ints(-1, BANDS // 4, 4)),
                 axes=[2], keepdims=0)
    d = descriptor(g, bands(0), bands(BANDS), we, ws)
    tiled = g("Unsqueeze", g("Tile", d, g.ints(1, WIDTH // DESC)), g.ints(1))
    return g("Mul", tiled, g.const(LAYER_GAINS.reshape(LAYERS, 1)))


def trunk_model():
    g = Net("trunk")
    g.output(g("Cast", trunk_levels(g, "input_values"), to=F16), "trunk")
    return g.model([("input_values", F32, [1, WIN_SAMPLES])], [("trunk", F16, [1, CHANNELS, WIN_STEPS])])


def head_model():
    g = Net("head")
    g.output(head_features(g, "x"), "emb")
    return g.model([("x", F32, [8, CHANNELS])], [("emb", F32, [8, LAYERS, WIDTH])])


def long_positions():
    """(p0, p1, t) of the 200 frames on the long window's 1599 trunk steps, as the engine computes them."""
    pos = np.arange(LONG_FRAMES) * (LONG_STEPS - 1) / (LONG_FRAMES - 1)
    p0 = np.floor(pos).astype(np.int64)
    return p0, np.minimum(p0 + 1, LONG_STEPS - 1), pos - p0


def long_encoder_model():
    g = Net("encoder")
    levels = through_half(g, trunk_levels(g, "input_values"))
    p0, p1, t = long_positions()
    a, b = g("Gather", levels, g.const(p0, np.int64), axis=2), g("Gather", levels, g.const(p1, np.int64), axis=2)
    mixed = g("Add", g("Mul", a, g.const(1.0 - t)), g("Mul", b, g.const(t)))
    rows = g("Transpose", g("Squeeze", through_half(g, mixed), g.ints(0)), perm=[1, 0])
    g.output(g("Transpose", head_features(g, rows), perm=[1, 0, 2]), "audio_emb")
    return g.model([("input_values", F32, [1, LONG_SAMPLES])], [("audio_emb", F32, [LAYERS, LONG_FRAMES, WIDTH])])


# ---- streaming encoder -------------------------------------------------------------------------

def positions():
    """[NPOS, H] positional table: cosine/sine pairs of the harmonics of POS_PERIOD frames."""
    f = np.arange(NPOS)[:, None] * np.arange(H // 2)[None, :] * (2.0 * np.pi / POS_PERIOD)
    return np.stack([np.cos(f), np.sin(f)], axis=-1).reshape(NPOS, H).astype(np.float32)


def position_gains():
    """[H] query gains: q_i . k_j = sum_m a_m cos(2 pi m (i - j) / POS_PERIOD), fitted to a Gaussian
    logit -d^2 / (2 sigma^2) (floored at -20, where the band mask has closed anyway)."""
    d = np.arange(POS_PERIOD) - POS_PERIOD // 2
    basis = np.cos(2.0 * np.pi * np.outer(d, np.arange(H // 2)) / POS_PERIOD)
    a, *_ = np.linalg.lstsq(basis, np.maximum(-d * d / (2.0 * POS_SIGMA ** 2), -20.0), rcond=None)
    return np.repeat(a, 2).astype(np.float32)


def encoder_model():
    g = Net("a2x_enc")
    v = g("Transpose", g.sl("feat", [2, 3], [FEAT_LAYER, 0], [FEAT_LAYER + 1, DESC]), perm=[0, 2, 1, 3])
    pos = g("Unsqueeze", "pos_window", g.ints(1))
    scores = g("MatMul", g("Mul", pos, g.const(position_gains())), g("Transpose", pos, perm=[0, 1, 3, 2]))
    attention = g("Softmax", g("Add", scores, "attn"), axis=-1)
    for _ in range(META["layers"]):
        v = g("Add", g("Mul", v, g.const(1.0 - SMOOTH)), g("Mul", g("MatMul", attention, v), g.const(SMOOTH)))
    g.output(g("Squeeze", v, g.ints(1)), "ctx")
    return g.model([("feat", F32, [1, "T", LAYERS, WIDTH]), ("pos_window", F32, [1, "T", H]),
                    ("attn", F32, [1, 1, "T", "T"])], [("ctx", F32, [1, "T", H])])


# ---- decoders ----------------------------------------------------------------------------------

def lip_patterns():
    """(open, wide) [63] keypoint offsets."""
    out = np.zeros((2, 63))
    for k, pattern in enumerate((OPEN_PATTERN, WIDE_PATTERN)):
        for row, axis, value in pattern:
            out[k, 3 * row + axis] = value
    return out


def norm_table():
    """mean[63] (0) then std[63]: the lip patterns' largest offset per coordinate, 1 elsewhere."""
    std = np.abs(lip_patterns()).max(axis=0)
    return np.concatenate([np.zeros(63), np.where(std > 0, std, 1.0)]).astype(np.float32)


def lip_drive(g, z):
    """[.., 2] (opening, width) from pre-activations z [.., 2] (loudness, brightness terms)."""
    opening = g("Relu", g("Tanh", g.sl(z, [-1], [0], [1])))
    return g("Concat", opening, g("Mul", opening, g("Tanh", g.sl(z, [-1], [1], [2]))), axis=-1)


def lip_cell(g, drive, rest, state, patterns):
    """Leaky recurrent state [1, n] (drive first, rest after) and m = blend of prev and the patterns."""
    new = g("Add", g("Mul", state, g.const(LEAK)), g("Mul", g("Concat", drive, rest, axis=1), g.const(1.0 - LEAK)))
    m = g("MatMul", g.sl(new, [1], [0], [2]), g.const(patterns))
    return new, g("Add", g("Mul", "prev", g.const(PREV_SHARE)), g("Mul", m, g.const(1.0 - PREV_SHARE)))


def drive_weights(gain):
    """[2] gains on (loudness, brightness) of a descriptor scaled by gain."""
    return np.array([OPEN_GAIN, WIDE_GAIN], np.float32) / np.float32(gain)


def decoder_model():
    g = Net("a2x_dec")
    loud_bright = g("Gather", "ctx_t", g.ints(LOUD, BRIGHT), axis=1)
    z = g("Sub", g("Mul", loud_bright, g.const(drive_weights(LAYER_GAINS[FEAT_LAYER]))),
          g.const([OPEN_BIAS, WIDE_GAIN * WIDE_CENTRE]))
    patterns = lip_patterns() / norm_table()[63:]
    h_out, m = lip_cell(g, lip_drive(g, z), g.sl("ctx_t", [1], [2], [H]), "h", patterns.astype(np.float32))
    g.output(m, "m")
    g.output(h_out, "h_out")
    return g.model([("ctx_t", F32, [1, H]), ("prev", F32, [1, 63]), ("h", F32, [1, H])],
                   [("m", F32, [1, 63]), ("h_out", F32, [1, H])])


def fca_model():
    g = Net("fca")
    frames = g("Reshape", "cond", g.ints(1, len(FCA_OFFSET_WEIGHTS), WIDTH))
    context = g("Mul", g("Gather", frames, g.ints(LOUD, BRIGHT), axis=2),
                g.const(np.reshape(FCA_OFFSET_WEIGHTS, (1, -1, 1))))
    gain = LAYER_GAINS[list(FCA_LAYERS)].mean()
    z = g("Sub", g("Mul", g("ReduceSum", context, g.ints(1), keepdims=0), g.const(drive_weights(gain))),
          g.const([FCA_OPEN_BIAS, 0.0]))
    rest = g.sl("cond", [1], [WIDTH], [WIDTH + FCA_H - 2])     # channels of the current frame
    near = g.sl(frames, [1, 2], [0, 0], [FCA_ACTIVITY_FRAMES, DESC])
    activity = g("Reshape", g("ReduceMean", g("Abs", near), axes=[1, 2], keepdims=1), g.ints(1, 1))
    gate = g("Relu", g("Tanh", g("Mul", g("Sub", activity, g.const(FCA_ACTIVITY_FLOOR)),
                                 g.const(FCA_ACTIVITY_GAIN))))
    hn, m = lip_cell(g, g("Mul", lip_drive(g, z), gate), rest, g("Reshape", "h", g.ints(1, FCA_H)),
                     lip_patterns().astype(np.float32))
    g.output(m, "m")
    g.output(g("Reshape", hn, g.ints(1, 1, FCA_H)), "hn")
    return g.model([("cond", F32, [1, 7 * WIDTH]), ("prev", F32, [1, 63]), ("h", F32, [1, 1, FCA_H])],
                   [("m", F32, [1, 63]), ("hn", F32, [1, 1, FCA_H])])


# ---- probes ------------------------------------------------------------------------------------

def zero_pad(g, x, rank, width, axis=-1):
    """Appends width zeros to one axis of x (of rank dims)."""
    pads = [0] * (2 * rank)
    pads[rank + axis % rank] = width
    return g("Pad", x, g.ints(*pads), mode="constant")


def probe_long_encoder():
    g = Net("encoder_probe")
    shape = g.ints(LAYERS, LONG_FRAMES, 1)
    k = g("Expand", g.const(np.arange(LONG_FRAMES, dtype=np.float32).reshape(1, -1, 1)), shape)
    layer = g("Expand", g.const(np.arange(LAYERS, dtype=np.float32).reshape(-1, 1, 1)), shape)
    every = g.sl("input_values", [1], [0], [640 * LONG_FRAMES], [640])
    first = g.sl("input_values", [1], [0], [1])
    columns = [k, layer, g("Expand", g("Unsqueeze", every, g.ints(2)), shape),
               g("Expand", g("Unsqueeze", first, g.ints(2)), shape)]
    g.output(zero_pad(g, g("Concat", *columns, axis=2), 3, WIDTH - 4), "audio_emb")
    return g.model([("input_values", F32, [1, LONG_SAMPLES])], [("audio_emb", F32, [LAYERS, LONG_FRAMES, WIDTH])])


def probe_trunk():
    g = Net("trunk_probe")
    p = g.const(np.arange(WIN_STEPS, dtype=np.float32).reshape(1, 1, -1))
    every = g("Unsqueeze", g.sl("input_values", [1], [0], [STEP * WIN_STEPS], [STEP]), g.ints(1))
    g.output(g("Cast", zero_pad(g, g("Concat", p, every, axis=1), 3, CHANNELS - 2, axis=1), to=F16), "trunk")
    return g.model([("input_values", F32, [1, WIN_SAMPLES])], [("trunk", F16, [1, CHANNELS, WIN_STEPS])])


def probe_head():
    g = Net("head_probe")
    shape = g.ints(8, LAYERS, 1)
    x01 = g("Expand", g("Unsqueeze", g.sl("x", [1], [0], [2]), g.ints(1)), g.ints(8, LAYERS, 2))
    i = g("Expand", g.const(np.arange(8, dtype=np.float32).reshape(-1, 1, 1)), shape)
    layer = g("Expand", g.const(np.arange(LAYERS, dtype=np.float32).reshape(1, -1, 1)), shape)
    g.output(zero_pad(g, g("Concat", x01, i, layer, axis=2), 3, WIDTH - 4), "emb")
    return g.model([("x", F32, [8, CHANNELS])], [("emb", F32, [8, LAYERS, WIDTH])])


def probe_encoder():
    g = Net("a2x_enc_probe")
    pos0 = g.sl("pos_window", [2], [0], [1])                                  # [1, T, 1]
    open_keys = g("ReduceSum", g("Cast", g("Equal", "attn", g.const(0.0)), to=F32), g.ints(3), keepdims=0)
    open_keys = g("Transpose", open_keys, perm=[0, 2, 1])
    feat = [g("Squeeze", g.sl("feat", [2, 3], [0, c], [1, c + 1]), g.ints(3)) for c in (0, 2)]
    steps = g("Cast", g("Gather", g("Shape", "feat"), g.const(1, np.int64)), to=F32)
    steps = g("Expand", steps, g("Shape", pos0))
    g.output(zero_pad(g, g("Concat", pos0, open_keys, *feat, steps, axis=2), 3, H - 5), "ctx")
    g.output(g("Add", g("Squeeze", pos0, g.ints(2)), g.const(0.5)), "wn")
    return g.model([("feat", F32, [1, "T", LAYERS, WIDTH]), ("pos_window", F32, [1, "T", H]),
                    ("attn", F32, [1, 1, "T", "T"])], [("ctx", F32, [1, "T", H]), ("wn", F32, [1, "T"])])


def probe_decoder():
    g = Net("a2x_dec_probe")
    m = g("Concat", g.sl("ctx_t", [1], [0], [60]), g.sl("h", [1], [0], [1]), g.sl("prev", [1], [0], [1]), axis=1)
    g.output(zero_pad(g, m, 2, 1), "m")
    g.output(g("Add", "h", g.const(1.0)), "h_out")
    return g.model([("ctx_t", F32, [1, H]), ("prev", F32, [1, 63]), ("h", F32, [1, H])],
                   [("m", F32, [1, 63]), ("h_out", F32, [1, H])])


def probe_fca():
    g = Net("fca_probe")
    firsts = g.sl("cond", [1], [0], [7 * WIDTH], [WIDTH])
    h0 = g("Reshape", g.sl("h", [2], [0], [1]), g.ints(1, 1))
    m = g("Concat", firsts, g.sl("cond", [1], [1], [2]), h0, axis=1)
    g.output(zero_pad(g, m, 2, 63 - 9), "m")
    g.output(g("Add", "h", g.const(1.0)), "hn")
    return g.model([("cond", F32, [1, 7 * WIDTH]), ("prev", F32, [1, 63]), ("h", F32, [1, 1, FCA_H])],
                   [("m", F32, [1, 63]), ("hn", F32, [1, 1, FCA_H])])


# ---- members -----------------------------------------------------------------------------------

SHORT_WINDOW = ("audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx")
BUILDERS = {
    "sample": {"audio_encoder.onnx": long_encoder_model, SHORT_WINDOW[0]: trunk_model, SHORT_WINDOW[1]: head_model,
               "a2x_enc_stream.onnx": encoder_model, "a2x_dec.onnx": decoder_model, "fca_stream.onnx": fca_model},
    "probe": {"audio_encoder.onnx": probe_long_encoder, SHORT_WINDOW[0]: probe_trunk, SHORT_WINDOW[1]: probe_head,
              "a2x_enc_stream.onnx": probe_encoder, "a2x_dec.onnx": probe_decoder, "fca_stream.onnx": probe_fca},
}
KINDS = tuple(BUILDERS)


def models(kind):
    """name -> ModelProto of every speech graph of kind."""
    return {name: build() for name, build in BUILDERS[kind].items()}


@functools.lru_cache(maxsize=None)
def cached(models_of, kind):
    """name -> serialized graph of models_of(kind), built once per process."""
    return {name: m.SerializeToString() for name, m in models_of(kind).items()}


def members(kind):
    """name -> bytes of the speech members (graphs and a2x tables) of kind."""
    out = dict(cached(models, kind))
    if kind == "probe":
        pos = np.zeros((PROBE_NPOS, H), np.float32)
        pos[:, 0] = np.arange(PROBE_NPOS)
        norm = np.concatenate([np.zeros(63), np.ones(63)]).astype(np.float32)
        meta = PROBE_META
    else:
        pos, norm, meta = positions(), norm_table(), META
    out["a2x_pos.f32"] = pos.astype("<f4").tobytes()
    out["a2x_norm.f32"] = norm.astype("<f4").tobytes()
    out["a2x_meta.json"] = (json.dumps(meta, indent=2) + "\n").encode()
    return out


def write(bundle, kind, short_window=True):
    """Writes the speech members into a make_bundle.Bundle."""
    for name, data in members(kind).items():
        if short_window or name not in SHORT_WINDOW:
            bundle.write(name, data)
