"""Tests of the generated director graphs: the patterns the engine's load-time rewrites look for,
and what the graphs compute (run with the numpy evaluator)."""
import os
import shutil
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
import onnx  # noqa: E402
from onnx import numpy_helper  # noqa: E402

import director  # noqa: E402
import graph_eval  # noqa: E402
import make_bundle  # noqa: E402
import make_fixtures  # noqa: E402
from frames import FrameMaker  # noqa: E402
from motion import Timeline  # noqa: E402

CROP = 64


def dims(value_info):
    return [d.dim_value or d.dim_param for d in value_info.type.tensor_type.shape.dim]


class Nodes:
    """Producer and reader lookups over one graph."""

    def __init__(self, model):
        self.model = model
        self.nodes = list(model.graph.node)
        self.inits = {t.name: numpy_helper.to_array(t) for t in model.graph.initializer}
        self.producer = {o: n for n in self.nodes for o in n.output}
        self.outputs = {o.name for o in model.graph.output}

    def readers(self, value):
        return [n for n in self.nodes if value in n.input]

    def of_type(self, op_type):
        return [n for n in self.nodes if n.op_type == op_type]

    def attrs(self, node):
        return graph_eval._attrs(node)

    def cone(self, boundary):
        """Names of the nodes the boundary is computed from, back to P_rgb and initializers."""
        seen, todo = set(), [boundary]
        while todo:
            v = todo.pop()
            if v == "P_rgb" or v in self.inits:
                continue
            node = self.producer[v]
            if node.name not in seen:
                seen.add(node.name)
                todo.extend(node.input)
        return seen

    def recombination(self, tip):
        """(members, exits) of the Slice/Mul/Sub/Add recombination after the GridSample tip."""
        inside = {n.name for n in self.readers(tip.output[0]) if n.op_type == "Slice"}
        while True:
            values = {o for n in self.nodes if n.name in inside for o in n.output} | {tip.output[0]}
            grown = inside | {n.name for n in self.nodes if n.op_type in ("Mul", "Sub", "Add")
                              and values & set(n.input)}
            if grown == inside:
                break
            inside = grown
        produced = {o for n in self.nodes if n.name in inside for o in n.output}
        exits = {v for v in produced if v in self.outputs or any(r.name not in inside for r in self.readers(v))}
        return inside, exits


def shapes(model):
    inferred = onnx.shape_inference.infer_shapes(model)
    return {v.name: dims(v) for v in (*inferred.graph.value_info, *inferred.graph.input, *inferred.graph.output)}


class Patterns(unittest.TestCase):
    """The graph patterns the engine's rewrites rely on, found as the engine would look for them."""

    @classmethod
    def setUpClass(cls):
        cls.model = director.build(CROP)
        cls.g = Nodes(cls.model)
        cls.shapes = shapes(cls.model)

    def test_every_variant_is_a_valid_graph_with_the_host_io(self):
        for kw in (dict(), dict(kind="baked"), dict(kind="int8"), dict(kind="featsynth"), dict(batch=None),
                   dict(batch=24), dict(kp_rows=20), dict(kp_rows=22), dict(kp_rows=None)):
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

    def test_source_cone_ends_in_one_concat_of_twelve_channels(self):
        (concat,) = [n for n in self.g.of_type("Concat") if "P_rgb" in n.input]
        boundary = concat.output[0]
        self.assertEqual((self.shapes[boundary], sorted(self.g.producer[v].op_type for v in concat.input[1:])),
                         ([1, 12, CROP, CROP], ["Conv"] * 3))
        cone = self.g.cone(boundary)
        for n in self.g.nodes:   # outside the cone nothing reads P_rgb, nor any value but the boundary
            if n.name not in cone:
                leaks = [v for v in n.input if v == "P_rgb" or (v != boundary and v in self.g.producer
                                                                and self.g.producer[v].name in cone)]
                self.assertEqual(leaks, [], n.name)

    def test_one_qualifying_grid_sample_with_a_single_exit_recombination(self):
        (tip,) = self.g.of_type("GridSample")
        (boundary,) = [n.output[0] for n in self.g.of_type("Concat") if "P_rgb" in n.input]
        members, exits = self.g.recombination(tip)
        self.assertEqual((self.g.attrs(tip), tip.input[0], self.shapes[tip.input[1]], len(exits)),
                         (dict(mode="bilinear", padding_mode="border", align_corners=0), boundary,
                          [1, CROP, CROP, 2], 1))
        self.assertEqual(self.shapes[exits.pop()], [1, 3, CROP, CROP])
        self.assertGreaterEqual(len(members), 8)

    def test_decoder_head_cubic_resize_and_blend(self):
        (r,) = [n for n in self.g.of_type("Resize") if self.g.attrs(n)["mode"] == "cubic"]
        # half_pixel, the defaults for the rest, no roi, scales [1, 1, 2, 2], fed by a 2-D Conv
        self.assertEqual((self.g.attrs(r), len(r.input), r.input[1]),
                         (dict(mode="cubic", coordinate_transformation_mode="half_pixel"), 3, ""))
        np.testing.assert_array_equal(self.g.inits[r.input[2]], [1, 1, 2, 2])
        conv = self.g.producer[r.input[0]]
        self.assertEqual((conv.op_type, self.g.inits[conv.input[1]].ndim), ("Conv", 4))
        (blend,) = [n for n in self.g.nodes if n.name == "/s2/blend"]
        # as a Gemm it must still be valid: both operands 2-D
        self.assertEqual((blend.op_type, blend.domain, [len(self.shapes.get(v) or self.g.inits[v].shape)
                                                        for v in blend.input]), ("MatMul", "", [2, 2]))

    def test_compose_tail(self):
        v = "rgb"
        while self.g.producer[v].op_type in ("Identity", "Cast"):
            v = self.g.producer[v].input[0]
        add = self.g.producer[v]
        muls = [self.g.producer[i] for i in add.input]
        decoded, alpha = muls[0].input
        sub = self.g.producer[muls[1].input[0]]
        # rgb = decoded * alpha + x * (1 - alpha), alpha from a Clip
        self.assertEqual((add.op_type, [m.op_type for m in muls], sub.op_type, float(self.g.inits[sub.input[0]]),
                          sub.input[1], self.g.producer[alpha].op_type),
                         ("Add", ["Mul", "Mul"], "Sub", 1.0, alpha, "Clip"))
        self.assertNotEqual(muls[1].input[1], decoded)

    def test_baked_and_int8_variants(self):
        (fast,) = Nodes(director.build(CROP, kind="baked")).of_type("GridSampleFast")
        self.assertEqual((fast.domain, list(fast.input)), ("com.corvamel", list(self.g.of_type("GridSample")[0].input)))
        q = Nodes(director.build(CROP, kind="int8"))
        (node,) = q.of_type("Int8ConvVNNI")
        w, scale, bias = (q.inits[i] for i in node.input[1:])
        self.assertEqual((node.domain, w.dtype, w.ndim, scale.shape, bias.shape),
                         ("com.corvamel.int8", np.int8, 4, (w.shape[0],), (w.shape[0],)))

    def test_sample_director_costs_under_two_gflop(self):
        flops = director.model_flops(director.build(512))
        self.assertGreater(flops, 1e8)
        self.assertLess(flops, 2e9)


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

    def test_closing_the_driving_lids_closes_the_eyes(self):
        def whites(img, kp):
            (x, y), r = ((kp[0, 8, :2] + kp[0, 9, :2]) / 2 + 1) * 64, 10
            eye = img[0, :, int(y) - r:int(y) + r, int(x) - r:int(x) + r]
            return int((eye.min(axis=0) > 0.7).sum())
        closed = self.kp.copy()
        for up, low in ((8, 9), (11, 13)):
            mid = (closed[0, up, 1] + closed[0, low, 1]) / 2
            closed[0, up, 1], closed[0, low, 1] = mid - 0.004, mid + 0.004
        self.assertGreater(whites(self.P, self.kp), 20)
        self.assertLess(whites(self.render(closed), self.kp), 0.5 * whites(self.P, self.kp))

    def test_variants_compute_the_same_face(self):
        ref = self.render(self.kp)
        int8 = self.render(self.kp, model=director.build(128, kind="int8"))
        self.assertLess(np.abs(int8 - ref).max(), 0.01)
        wide = np.concatenate([self.kp, np.array([[[0.3, 1.0, 0.0]]], np.float32)], axis=1)
        kp22 = self.render(wide, wide, model=director.build(128, kp_rows=22))
        np.testing.assert_array_equal(kp22, ref)

    def test_evaluator_cubic_taps(self):
        np.testing.assert_allclose(graph_eval._cubic_taps(np.float64(0.75)),
                                   [-0.03515625, 0.26171875, 0.87890625, -0.10546875])


class Bundles(unittest.TestCase):
    """Directors in generated bundles and fixtures."""

    def test_fixture_variant_is_the_bundle_its_options_build(self):
        with tempfile.TemporaryDirectory() as tmp:
            full = os.path.join(tmp, "full")
            make_bundle.main(["--out", full, "--batched-director", "24_fp32"])
            with open(os.path.join(full, "model_render.onnx"), "rb") as f:
                self.assertEqual(f.read(), director.serialize(CROP))
            b24 = onnx.load(os.path.join(full, "render_model.batch24.fp32.onnx"))
            self.assertEqual([dims(v)[0] for v in (*b24.graph.input, *b24.graph.output)], [24] * 5)
            # a derived fixture is the bundle its options would build
            out = os.path.join(tmp, "fx")
            os.makedirs(out)
            shutil.copytree(full, os.path.join(out, "tiny_jpg"))
            os.remove(os.path.join(out, "tiny_jpg", "render_model.batch24.fp32.onnx"))
            make_fixtures.derive(out, "tiny_b24")
            for name in ("model_render.onnx", "render_model.batch24.fp32.onnx", "source_frames.f16"):
                with open(os.path.join(out, "tiny_b24", name), "rb") as a, open(os.path.join(full, name), "rb") as b:
                    self.assertEqual(a.read(), b.read(), name)


if __name__ == "__main__":
    unittest.main()
