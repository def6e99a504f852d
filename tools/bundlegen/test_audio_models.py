"""Tests of the speech graphs: valid models, exact probe echoes, and sample graphs whose lips follow speech
(run with the numpy evaluator; the engine's suites run them through ONNX Runtime)."""
import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
import onnx  # noqa: E402

import audio  # noqa: E402
import audio_motion  # noqa: E402
import graph_eval  # noqa: E402
from keypoints import LIP_ROWS  # noqa: E402
from motion import Timeline  # noqa: E402

RNG = np.random.default_rng(7)


def rand(*shape):
    return RNG.standard_normal(shape).astype(np.float32)


def run(model, **feeds):
    return graph_eval.run(model, feeds)


def normalise(x):
    """The engine's window normalisation."""
    mean = x.astype(np.float64).mean()
    var = ((x - mean) ** 2).mean()
    return ((x - mean) * np.float32(1.0 / np.sqrt(np.float32(var) + np.float32(1e-7)))).astype(np.float32)


def band_mask(T, left, window):
    i = np.arange(T)
    open_ = (i[None] >= i[:, None] - left) & (i[None] <= i[:, None] + window)
    return np.where(open_, 0.0, -np.inf).astype(np.float32)[None, None]


def vowel(seconds, amplitude, formants, f0=120.0):
    """A spoken-vowel-like syllable: harmonics of f0 weighted by resonances at the formants, rising and
    falling in loudness as a syllable does."""
    t = np.arange(int(seconds * audio.RATE)) / audio.RATE
    out = np.zeros_like(t)
    for k in range(1, int(4000 / f0)):
        f = k * f0
        out += sum(1.0 / (1.0 + ((f - fm) / 150.0) ** 2) for fm in formants) * np.sin(2 * np.pi * f * t + k)
    envelope = np.sqrt(np.sin(np.pi * t / seconds))
    return (amplitude * envelope * out / np.abs(out).max()).astype(np.float32)


class Models(unittest.TestCase):
    def test_every_graph_is_valid_with_the_declared_shapes(self):
        for module in (audio, audio_motion):
            for kind in audio.KINDS:
                for name, model in module.models(kind).items():
                    with self.subTest(kind=kind, name=name):
                        onnx.checker.check_model(model, full_check=True)
                        self.assertEqual(model.opset_import[0].version, 17)


class Probes(unittest.TestCase):
    """Every probe output is an exact echo of its inputs; unlisted entries are 0."""

    @classmethod
    def setUpClass(cls):
        cls.m = {**audio.models("probe"), **audio_motion.models("probe")}

    def assertEcho(self, got, want):
        self.assertEqual(got.shape, want.shape)
        np.testing.assert_array_equal(got, want)

    def test_front_end(self):
        x = rand(1, audio.LONG_SAMPLES)
        (emb,) = run(self.m["audio_encoder.onnx"], input_values=x)
        want = np.zeros((12, 200, 768), np.float32)
        want[:, :, 0] = np.arange(200)
        want[:, :, 1] = np.arange(12)[:, None]
        want[:, :, 2] = x[0, ::640]
        want[:, :, 3] = x[0, 0]
        self.assertEcho(emb, want)

        x = rand(1, audio.WIN_SAMPLES)
        (trunk,) = run(self.m["audio_encoder_fp16_window_trunk.onnx"], input_values=x)
        want = np.zeros((1, 640, 399), np.float16)
        want[0, 0] = np.arange(399)
        want[0, 1] = x[0, :80 * 399:80]
        self.assertEcho(trunk, want)

        x = rand(8, 640)
        (emb,) = run(self.m["audio_encoder_fp16_window_head.onnx"], x=x)
        want = np.zeros((8, 12, 768), np.float32)
        want[:, :, :2] = x[:, None, :2]
        want[:, :, 2] = np.arange(8)[:, None]
        want[:, :, 3] = np.arange(12)
        self.assertEcho(emb, want)

    def test_streaming_encoder(self):
        for T, left, window in ((1, 3, 2), (9, 3, 2), (30, 6, 4)):
            feat, pos = rand(1, T, 12, 768), rand(1, T, 64)
            mask = band_mask(T, left, window)
            ctx, wn = run(self.m["a2x_enc_stream.onnx"], feat=feat, pos_window=pos, attn=mask)
            want = np.zeros((1, T, 64), np.float32)
            want[0, :, 0] = pos[0, :, 0]
            want[0, :, 1] = (mask[0, 0] == 0).sum(axis=1)
            want[0, :, 2:4] = feat[0, :, 0, [0, 2]].T
            want[0, :, 4] = T
            self.assertEcho(ctx, want)
            self.assertEcho(wn, pos[:, :, 0] + np.float32(0.5))

    def test_decoders(self):
        ctx, prev, h = rand(1, 64), rand(1, 63), rand(1, 64)
        m, h_out = run(self.m["a2x_dec.onnx"], ctx_t=ctx, prev=prev, h=h)
        self.assertEcho(m, np.concatenate([ctx[:, :60], h[:, :1], prev[:, :1], [[0]]], axis=1).astype(np.float32))
        self.assertEcho(h_out, h + np.float32(1))

        cond, h = rand(1, 5376), rand(1, 1, 384)
        m, hn = run(self.m["fca_stream.onnx"], cond=cond, prev=prev, h=h)
        want = np.zeros((1, 63), np.float32)
        want[0, :7] = cond[0, ::768]
        want[0, 7], want[0, 8] = cond[0, 1], h[0, 0, 0]
        self.assertEcho(m, want)
        self.assertEcho(hn, h + np.float32(1))

    def test_motion(self):
        mel = rand(1, 80, 21)
        (feat,) = run(self.m["hubert_student.onnx"], mel=mel)
        want = np.zeros((1, 20, 1024), np.float32)
        want[0, :, 0] = np.arange(20)
        want[0, :, 1], want[0, :, 2] = mel[0, 0, :20], mel[0, 79, :20]
        self.assertEcho(feat, want)

        kp, cond = rand(1, 265), rand(1, 80, 1103)
        (motion,) = run(self.m["lmdm.onnx"], kp=kp, cond=cond)
        self.assertEcho(motion, np.concatenate([cond[:, :, :264], np.full((1, 80, 1), kp[0, 201])], axis=2))

        xs, xd = rand(1, 21, 3), rand(1, 21, 3)
        for got, want in zip(run(self.m["stitch.onnx"], x_s=xs, x_d=xd), (xs, xd)):
            self.assertEcho(got, want)

    def test_members(self):
        probe, sample = audio.members("probe"), audio.members("sample")
        pos = np.frombuffer(probe["a2x_pos.f32"], "<f4").reshape(audio.PROBE_NPOS, 64)
        self.assertEcho(pos[:, 0], np.arange(audio.PROBE_NPOS, dtype=np.float32))
        self.assertFalse(pos[:, 1:].any())
        self.assertEqual(len(sample["a2x_pos.f32"]), audio.NPOS * audio.H * 4)
        for members in (probe, sample):
            self.assertEqual(len(members["a2x_norm.f32"]), 126 * 4)


def engine_interpolate(trunk, pos):
    """Rows [frames, 640] of a float16 trunk [640, steps] at fractional steps, as the engine does."""
    p0 = np.floor(pos).astype(int)
    p1, t = np.minimum(p0 + 1, trunk.shape[1] - 1), (pos - p0)[:, None]
    a, b = trunk[:, p0].T.astype(np.float64), trunk[:, p1].T.astype(np.float64)
    return (a * (1 - t) + b * t).astype(np.float32).astype(np.float16).astype(np.float32)


# a synthetic utterance: (seconds, amplitude, formants); amplitude 0 is silence
VOWEL_A, VOWEL_I, VOWEL_U = (700.0, 1200.0), (300.0, 2300.0), (300.0, 800.0)
SEGMENTS = ((0.4, 0, None), (0.4, 0.3, VOWEL_A), (0.3, 0, None), (0.4, 0.1, VOWEL_A), (0.3, 0, None),
            (0.4, 0.3, VOWEL_I), (0.4, 0.3, VOWEL_U), (0.4, 0, None))


def utterance():
    parts = [vowel(s, a, formants=f) if a else np.zeros(int(s * audio.RATE), np.float32) for s, a, f in SEGMENTS]
    return np.concatenate(parts)


def segment_frames():
    """(first, end) frame of each segment's interior (its first and last 3 frames left out)."""
    edges = np.cumsum([0] + [int(s * 25) for s, _, _ in SEGMENTS])
    return [(a + 3, b - 3) for a, b in zip(edges[:-1], edges[1:])]


def a2x_offsets(pcm):
    """[frames, 21, 3] offsets of the sample a2x chain: long window, one encoder run, the decoder."""
    x = np.zeros(audio.LONG_SAMPLES, np.float32)
    x[:pcm.size] = pcm
    (emb,) = run(audio.long_encoder_model(), input_values=normalise(x)[None])
    n = -(-pcm.size // 640)
    pos = audio.positions()[np.arange(n) % audio.POS_PERIOD]
    mask = band_mask(n, audio.META["left"], audio.META["window"])
    (ctx,) = run(audio.encoder_model(), feat=np.ascontiguousarray(emb[:, :n].transpose(1, 0, 2))[None],
                 pos_window=pos[None], attn=mask)
    dec, norm = audio.decoder_model(), audio.norm_table()
    prev, h, out = np.zeros((1, 63), np.float32), np.zeros((1, audio.H), np.float32), []
    for f in range(n):
        prev, h = run(dec, ctx_t=ctx[0, f:f + 1], prev=prev, h=h)
        out.append(prev[0] * norm[63:] + norm[:63])
    return np.array(out).reshape(n, 21, 3), emb


def fca_offsets(emb, n):
    """The FCA stream over the long encoder's features: layer mean, running centring, 7-frame context."""
    feat = emb[list(audio.FCA_LAYERS), :n].mean(axis=0)
    norms = np.sqrt((feat.astype(np.float64) ** 2).sum(axis=1))
    total, count, centred = np.zeros(768), 0, []
    for i in range(n):
        thr = 0.0 if i <= 6 else np.interp(0.2 * i, np.arange(i + 1), np.sort(norms[:i + 1]))
        if norms[i] > thr:
            total, count = total + feat[i], count + 1
        centred.append(feat[i] - total / max(count, 1))
    centred = np.array(centred, np.float32)
    model, prev, h, out = audio.fca_model(), np.zeros((1, 63), np.float32), np.zeros((1, 1, 384), np.float32), []
    for i in range(n):
        cond = centred[np.clip(i + np.arange(-1, 6), 0, n - 1)].reshape(1, -1)
        prev, h = run(model, cond=cond, prev=prev, h=h)
        out.append(prev[0])
    return np.array(out).reshape(n, 21, 3)


def motion_offsets(pcm, kp):
    """Keypoint deltas of the motion chain for one 80-frame chunk: mel front-end, student, lmdm, stitch."""
    t = {k: np.frombuffer(v, "<f4") for k, v in audio_motion.tables("sample", kp).items() if k.endswith(".bin")}
    window, binmat = t["hubert_stft_window.bin"], t["hubert_stft_binmat.bin"].reshape(257, 80)
    student = audio_motion.student_model()
    n = -(-pcm.size // 640)
    rows = []
    for w in range(0, n, 5):
        lo = 640 * w - 2000
        seg = np.zeros(6480, np.float32)
        seg[max(0, -lo):max(0, min(6480, pcm.size - lo))] = pcm[max(0, lo):lo + 6480]
        padded = np.pad(seg, 256, mode="reflect")
        mag = np.abs(np.fft.rfft(np.stack([padded[320 * j:320 * j + 512] * window for j in range(21)]), axis=1))
        (f,) = run(student, mel=np.log(mag @ binmat + 1e-8).T[None].astype(np.float32))
        f = f[0] * t["hubert_fstd.bin"] + t["hubert_fmean.bin"]
        extra = np.concatenate([t["emo.bin"][:8], t["ch_eye_open.bin"], t["ch_eye_ball.bin"], t["ch_sc.bin"]])
        rows += [np.concatenate([(f[6 + 2 * i] + f[7 + 2 * i]) / 2, extra]) for i in range(5)]
    cond = np.array(rows[:n] + rows[n - 1:n] * (80 - n), np.float32)[None]
    src = t["ch_xs_info.bin"]
    kp0 = np.concatenate([[src[258] - 1], src[126:192], src[262:328], src[192:258], src[259:262], t["ch_sc.bin"]])
    (motion,) = run(audio_motion.lmdm_model(), kp=kp0[None].astype(np.float32), cond=cond)
    expr = motion[0, :n, 202:] - motion[0, 0, 202:]
    stitch, xs = audio_motion.stitch_model(), kp[:1].astype(np.float32)
    out = []
    for e in expr:
        s, d = run(stitch, x_s=xs, x_d=xs + e.reshape(1, 21, 3))
        out.append((d - s)[0])
    return np.array(out)


class SampleModels(unittest.TestCase):
    """What the sample graphs compute."""

    def test_short_window_matches_the_long_window(self):
        x = normalise(np.tile(utterance(), 5)[:192000])
        worst = 0.0
        for base in (0, 100):       # frames 0..199 come from the window at 0; later ones from 100, 200, ...
            (emb,) = run(audio.long_encoder_model(), input_values=x[None, 640 * base:640 * base + audio.LONG_SAMPLES])
            for s in ((40, 96) if base == 0 else (200, 248)):
                end = 640 * (s + 8 + 12)
                (trunk,) = run(audio.trunk_model(), input_values=x[None, end - audio.WIN_SAMPLES:end])
                r = np.arange(s, s + 8) - base
                pos = (640 * base - (end - audio.WIN_SAMPLES)) / 80 + r * 1598 / 199
                (short,) = run(audio.head_model(), x=engine_interpolate(trunk[0], pos))
                long = emb[:, r].transpose(1, 0, 2)
                worst = max(worst, np.abs(short - long).max() / np.abs(long).max())
        self.assertLess(worst, 2e-3)
        self.assertGreater(np.abs(emb).max(), 0.5)

    def test_lips_follow_loudness_and_spectral_shape(self):
        pcm = utterance()
        n = -(-pcm.size // 640)
        a2x, emb = a2x_offsets(pcm)
        kp = Timeline(160, 120, 64, 4, 1).kp
        families = {"a2x": a2x, "fca": fca_offsets(emb, n), "motion": motion_offsets(pcm, kp)}
        others = [r for r in range(21) if r not in LIP_ROWS]
        for name, off in families.items():
            with self.subTest(family=name):
                opening = off[:, 20, 1] - off[:, 19, 1]
                width = off[:, 14, 0] - off[:, 12, 0]
                seg = [(opening[a:b].mean(), width[a:b].mean()) for a, b in segment_frames()]
                sil0, loud, sil1, quiet, sil2, i, u, sil3 = seg
                self.assertLess(abs(sil0[0]), 1e-4)                       # closed before the speech
                self.assertGreater(loud[0], 0.03)                         # open wide when loud
                self.assertGreater(loud[0], 1.3 * quiet[0])               # less when quiet,
                self.assertGreater(quiet[0], 0.15 * loud[0])              # but open
                for silence in (sil1, sil2, sil3):                        # closes in the pauses
                    self.assertLess(silence[0], 0.25 * loud[0])
                self.assertGreater(i[1] - u[1], 0.01)                     # /i/ spreads, /u/ rounds
                self.assertTrue(np.all(off[:, 17, 1] - off[:, 6, 1] >= -1e-6))   # outer lips part
                motion = np.abs(off[:, others] - off[:, others[:1]])      # the nod moves every other row alike
                self.assertLess(motion.max(), 1e-6)
                self.assertLess(np.abs(off[:, others]).max(), 0.03 if name == "motion" else 1e-6)
