"""Tests of the bundle generator: run with /usr/bin/python3 -m unittest discover -s tools/bundlegen."""
import filecmp
import json
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import imx  # noqa: E402
import make_bundle  # noqa: E402
import tables  # noqa: E402
from frames import FrameMaker  # noqa: E402
from keypoints import LIP_ROWS  # noqa: E402
from motion import Timeline  # noqa: E402


def build(root, name, *argv):
    out = os.path.join(root, name)
    make_bundle.main(["--out", out, *argv])
    return out


def manifest(bundle):
    with open(os.path.join(bundle, "manifest.json"), encoding="utf-8") as f:
        return json.load(f)


class Forms(unittest.TestCase):
    """Older member names hold the canonical members' bytes (the engine's suites open every fixture, check the
    members' sizes and compare the HEVC prior with the raw one)."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.full = build(cls.tmp.name, "full", "--driver", "both", "--prior", "both", "--fs-red")
        cls.old = build(cls.tmp.name, "old", "--names", "old", "--prior", "both", "--fs-red")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_older_names_mirror_canonical_ones(self):
        def files(root):
            return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)
        old, new = files(self.old), files(self.full)
        self.assertIn("M.f32", old)
        self.assertIn("drive/si.i32", old)
        self.assertEqual(manifest(self.old)["P_hevc"], "P_hevc.mov")
        renamed = sorted(tables.CANONICAL.get(f, f) for f in old)
        self.assertEqual([f for f in renamed if not f.startswith("target_frames/")],
                         [f for f in new if not f.startswith("target_frames")])
        for f in old:
            if not f.endswith((".mov", "manifest.json")):
                self.assertTrue(filecmp.cmp(os.path.join(self.old, f),
                                            os.path.join(self.full, tables.CANONICAL.get(f, f)), shallow=False), f)

class Face(unittest.TestCase):
    """The drawn face, its crop through M, and the keypoints on it."""

    @classmethod
    def setUpClass(cls):
        cls.tl = Timeline(160, 120, 64, 12, 3)
        cls.fm = FrameMaker(cls.tl, 3)

    def test_keypoints_lie_on_the_face(self):
        for i in (0, 5, 11):
            crop, face = self.fm.crop(i, with_face=True)
            px = np.clip(((self.tl.kp[i][:, :2] + 1) * 32).astype(int), 0, 63)
            self.assertTrue(np.all(face[px[:, 1], px[:, 0]] > 0.5), f"frame {i}")
            lips = crop[px[LIP_ROWS, 1], px[LIP_ROWS, 0]].astype(int)
            # lips and mouth interior are red-dominant and darker than the skin around them
            self.assertTrue(np.all(lips[:, 0] - lips[:, 1] > 40), f"frame {i}: {lips}")
        self.assertTrue(np.all(np.abs(self.tl.kp) <= 1.0))

    def test_blinks_and_idle_loop(self):
        lids = self.tl.kp[:, 9, 1] - self.tl.kp[:, 8, 1]
        self.assertLess(lids.min(), 0.3 * lids.max())   # the target loop blinks once
        si, xs, xd = self.tl.idle_loop(40, 3)
        self.assertEqual(list(si[:14]), list(range(12)) + [10, 9])
        np.testing.assert_array_equal(xs, self.tl.kp[si].reshape(40, 63))
        open_ = xd.reshape(40, 21, 3)[:, 9, 1] - xd.reshape(40, 21, 3)[:, 8, 1]
        self.assertLess(open_.min(), 0.3 * open_.max())
        motion = np.abs(xd - xs).reshape(40, 21, 3)[:, :, :2]
        self.assertGreater(motion.max(), 0.005)
        self.assertLess(motion.max(), 0.2)


class Defects(unittest.TestCase):
    """Each manifest defect option breaks exactly the key it names (the engine's suites refuse the member
    defects)."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def make(self, *argv):
        return build(self.tmp.name, self.id().rsplit(".", 1)[-1] + str(abs(hash(argv))), *argv)

    def test_manifest_variants(self):
        want = {
            "msrc": {"M_src_w": 320, "M_src_h": 240},
            "paste_source": {"paste_source_width": 320, "paste_source_height": 240},
            "conflicting": {"M_src_w": 320, "M_src_h": 240, "paste_source_width": 640,
                            "paste_source_height": 480},
            "missing": {},
            "zero": {"M_src_w": 0, "M_src_h": 240},
        }
        keys = ("M_src_w", "M_src_h", "paste_source_width", "paste_source_height")
        for mode, stamp in want.items():
            m = manifest(self.make("--stamp", mode, "--src-canvas", "320x240"))
            self.assertEqual({k: m[k] for k in keys if k in m}, stamp, mode)
        m = manifest(self.make("--ambiguous", "W", "--nested", "H", "--imx", os.path.join(self.tmp.name, "v3.imx"),
                               "--imx-version", "3"))
        self.assertNotIn("W", m)
        self.assertEqual((m["calibration_a"]["W"], m["calibration_b"]["W"]), (160, 1160))
        self.assertEqual((m["H"], m["calibration"]["H"]), (120, 1120))
        self.assertEqual(imx.read_toc(os.path.join(self.tmp.name, "v3.imx"))[0], 3)


if __name__ == "__main__":
    unittest.main()
