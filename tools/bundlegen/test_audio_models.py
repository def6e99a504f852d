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


def vowel(seconds, amplitude, f0=120.0, formants=(700.0, 1200.0)):
    """A harmonic vowel-like sound: harmonics of f0 weighted by resonances at the formants."""
    t = np.arange(int(seconds * audio.RATE)) / audio.RATE
    out = np.zeros_like(t)
    for k in range(1, int(4000 / f0)):
        f = k * f0
        out += sum(1.0 / (1.0 + ((f - fm) / 150.0) ** 2) for fm in formants) * np.sin(2 * np.pi * f * t + k)
    return (amplitude * out / np.abs(out).max()).astype(np.float32)


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
