"""Tests of the generated director graphs: their inputs and outputs, the node the engine's load-time
rewrite looks for, and what the graphs compute (run with the numpy evaluator)."""
import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
import onnx  # noqa: E402
from onnx import numpy_helper  # noqa: E402

import director  # noqa: E402
import graph_eval  # noqa: E402
from frames import FrameMaker  # noqa: E402
from motion import Timeline  # noqa: E402

CROP = 64


def dims(value_info):
    return [d.dim_value or d.dim_param for d in value_info.type.tensor_type.shape.dim]


class Nodes:
    """Nodes and initializers of one graph."""

    def __init__(self, model):
        self.nodes = list(model.graph.node)
        self.inits = {t.name: numpy_helper.to_array(t) for t in model.graph.initializer}

    def of_type(self, op_type):
        return [n for n in self.nodes if n.op_type == op_type]


def shapes(model):
    inferred = onnx.shape_inference.infer_shapes(model)
    return {v.name: dims(v) for v in (*inferred.graph.value_info, *inferred.graph.input, *inferred.graph.output)}


class Patterns(unittest.TestCase):
    """The graph structure the engine relies on."""

    @classmethod
    def setUpClass(cls):
        cls.g = Nodes(director.build(CROP))
        cls.shapes = shapes(director.build(CROP))

    def test_every_variant_is_a_valid_graph_with_the_host_io(self):
        for kw in (dict(), dict(kind="int8"), dict(kind="featsynth"), dict(batch=None), dict(kp_rows=22)):
            m = director.build(CROP, **kw)
            onnx.checker.check_model(m, full_check=True)
            self.assertEqual(m.opset_import[0].version, 17)
            b, r = kw.get("batch", 1) or "batch", kw.get("kp_rows", 21) or "kp_rows"
            io = {v.name: (v.type.tensor_type.elem_type, dims(v)) for v in (*m.graph.input, *m.graph.output)}
            f = onnx.TensorProto.FLOAT
            if kw.get("kind") == "featsynth":
                want = {"fs_red": [b, 64, 64, 64], "pooled": [b, 64, 32, 32], "kd": [b, r, 3], "ks": [b, r, 3]}
            else:
                want = {"pooled64": [b, 64, 32, 32], "P_rgb": [b, 3, CROP, CROP], "kp_driving": [b, r, 3],
                        "kp_source": [b, r, 3]}
            want["rgb"] = [b, 3, CROP, CROP]
            self.assertEqual(io, {k: (f, v) for k, v in want.items()}, kw)

    def test_one_grid_sample_the_engine_rewrites(self):
        (tip,) = self.g.of_type("GridSample")
        self.assertEqual((graph_eval._attrs(tip), self.shapes[tip.input[0]][2:], self.shapes[tip.input[1]]),
                         (dict(mode="bilinear", padding_mode="border", align_corners=0), [CROP, CROP],
                          [1, CROP, CROP, 2]))

    def test_baked_and_int8_variants(self):
        (fast,) = Nodes(director.build(CROP, kind="baked")).of_type("GridSampleFast")
        self.assertEqual((fast.domain, list(fast.input)), ("com.corvamel", list(self.g.of_type("GridSample")[0].input)))
        q = Nodes(director.build(CROP, kind="int8"))
        (node,) = q.of_type("Int8ConvVNNI")
        w, scale, bias = (q.inits[i] for i in node.input[1:])
        self.assertEqual((node.domain, w.dtype, w.ndim, scale.shape, bias.shape),
                         ("com.corvamel.int8", np.int8, 4, (w.shape[0],), (w.shape[0],)))


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


if __name__ == "__main__":
    unittest.main()
