"""Tests of the generated director graphs: the node the engine's load-time rewrite looks for, and what the
graphs compute (run with the numpy evaluator); the engine's suites load every variant and check its inputs."""
import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
import onnx  # noqa: E402

import director  # noqa: E402
import graph_eval  # noqa: E402
from frames import FrameMaker  # noqa: E402
from motion import Timeline  # noqa: E402

CROP = 64


def dims(value_info):
    return [d.dim_value or d.dim_param for d in value_info.type.tensor_type.shape.dim]


def shapes(model):
    inferred = onnx.shape_inference.infer_shapes(model)
    return {v.name: dims(v) for v in (*inferred.graph.value_info, *inferred.graph.input, *inferred.graph.output)}


class Patterns(unittest.TestCase):
    """The graph structure the engine relies on."""

    def test_one_grid_sample_the_engine_rewrites(self):
        model = director.build(CROP)
        (tip,) = [n for n in model.graph.node if n.op_type == "GridSample"]
        io = shapes(model)
        self.assertEqual((graph_eval._attrs(tip), io[tip.input[0]][2:], io[tip.input[1]]),
                         (dict(mode="bilinear", padding_mode="border", align_corners=0), [CROP, CROP],
                          [1, CROP, CROP, 2]))


class Rendering(unittest.TestCase):
    """What the director computes on a drawn face."""

    @classmethod
    def setUpClass(cls):
        cls.tl = Timeline(320, 240, 128, 6, 2)
        cls.fm = FrameMaker(cls.tl, 2)
        i = int(np.argmax(cls.tl.kp[:, 9, 1] - cls.tl.kp[:, 8, 1]))    # eyes open
        cls.P = (np.moveaxis(cls.fm.crop(i), -1, 0)[None] / np.float32(255)).astype(np.float32)
        cls.kp = cls.tl.kp[i][None]
        cls.pooled = np.random.default_rng(4).standard_normal((1, 64, 32, 32)).astype(np.float32) * 0.5
        cls.model = director.build(128)

    def render(self, kd, ks=None, model=None, P=None):
        feeds = dict(pooled64=self.pooled, P_rgb=self.P if P is None else P, kp_driving=kd.astype(np.float32),
                     kp_source=(self.kp if ks is None else ks).astype(np.float32))
        return graph_eval.run(model or self.model, feeds)[0]

    def test_same_keypoints_reproduce_the_source(self):
        out = self.render(self.kp)
        self.assertTrue(0.0 <= out.min() and out.max() <= 1.0)
        err = np.abs(out - self.P)
        self.assertLess(err.mean(), 0.005)
        self.assertLess(np.percentile(err, 99), 0.05)   # the decoder's correction stays small

    def test_moving_the_driving_keypoints_moves_the_face(self):
        shifted = self.kp.copy()
        shifted[..., 0] += 3 / 64.0                      # 3 pixels right on a 128 crop
        out = self.render(shifted)
        face = (slice(None), slice(None), slice(40, 90), slice(35, 90))   # brows to chin
        errors = [np.abs(out - np.roll(self.P, s, axis=3))[face].mean() for s in range(6)]
        self.assertEqual(int(np.argmin(errors)), 3, errors)
        np.testing.assert_allclose(out[..., :6, :6], self.P[..., :6, :6], atol=1e-3)   # the room stays

    def test_variants_compute_the_same_face(self):
        ref = self.render(self.kp)
        int8 = self.render(self.kp, model=director.build(128, kind="int8"))
        self.assertLess(np.abs(int8 - ref).max(), 0.01)
        wide = np.concatenate([self.kp, np.array([[[0.3, 1.0, 0.0]]], np.float32)], axis=1)
        kp22 = self.render(wide, wide, model=director.build(128, kp_rows=22))
        np.testing.assert_array_equal(kp22, ref)
        np.testing.assert_array_equal(self.render(self.kp, model=director.build(128, kind="fail_kp")), ref)


class FailingRun(unittest.TestCase):
    """fail_kp: the standard pixels up to the threshold of kp_driving[0, 0, 0], a failed Reshape above it."""

    def test_fails_only_above_the_threshold(self):
        rng = np.random.default_rng(7)
        batch = 2
        feeds = dict(pooled64=rng.standard_normal((batch, 64, 32, 32)).astype(np.float32),
                     P_rgb=rng.random((batch, 3, CROP, CROP)).astype(np.float32),
                     kp_source=rng.uniform(-0.5, 0.5, (batch, director.KP_POINTS, 3)).astype(np.float32))
        standard, failing = director.build(CROP, batch), director.build(CROP, batch, "fail_kp")
        limit = np.float32(director.FAIL_ABOVE)
        for first, other, fails in ((limit, 0.0, False), (np.nextafter(limit, np.float32(np.inf)), 0.0, True),
                                    (0.0, 1000.0, False), (-1000.0, 0.0, False)):
            kd = rng.uniform(-0.5, 0.5, (batch, director.KP_POINTS, 3)).astype(np.float32)
            kd[0, 0, 0], kd[1, 0, 0], kd[0, 0, 1] = first, other, other   # only sample 0, row 0, x counts
            with self.subTest(first=first, other=other):
                run = dict(feeds, kp_driving=kd)
                if fails:
                    self.assertRaises(ValueError, graph_eval.run, failing, run)
                else:
                    np.testing.assert_array_equal(graph_eval.run(failing, run)[0], graph_eval.run(standard, run)[0])


if __name__ == "__main__":
    unittest.main()
