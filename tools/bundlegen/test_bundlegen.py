"""Tests of the bundle generator: run with /usr/bin/python3 -m unittest discover -s tools/bundlegen."""
import os
import sys
import unittest
from unittest import mock

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import json  # noqa: E402

import numpy as np  # noqa: E402

import audio  # noqa: E402
import bank  # noqa: E402
import director  # noqa: E402
import graph_eval  # noqa: E402
import lips  # noqa: E402
import make_bundle  # noqa: E402
import face  # noqa: E402
from frames import FrameMaker  # noqa: E402
from keypoints import LIP_ROWS  # noqa: E402
from motion import Timeline  # noqa: E402


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


def template_polygon(doc, kp, crop):
    """Vertices (nv x 2 crop pixels) of a lip template for one keypoint set, as the format defines them."""
    X = (kp[:, :2].astype(np.float64) + 1.0) * crop / 2.0
    m = X[doc["lip_idx"]].mean(axis=0)
    if "lip_map" not in doc:
        spread = np.maximum(np.abs(X[doc["lip_idx"]] - m).max(axis=0), 1e-6)
        return np.array(doc["u_canon"]) * spread + m
    lm = doc["lip_map"]
    f = (X[lm["lip_idx"]] - m).reshape(-1)
    return (np.array(lm["b"]) + np.array(lm["W"]) @ f).reshape(-1, 2) + m


def filled(v, n):
    """Pixels of an n x n grid whose centres the polygon holds (even-odd)."""
    y, x = np.mgrid[0:n, 0:n] + 0.5
    inside = np.zeros((n, n), bool)
    for (xa, ya), (xb, yb) in zip(v, np.roll(v, -1, axis=0)):
        with np.errstate(divide="ignore", invalid="ignore"):
            xc = xa + (y - ya) * (xb - xa) / (yb - ya)
        inside ^= ((ya > y) != (yb > y)) & (x < xc)
    return inside


class Mouth(unittest.TestCase):
    """The lip template outlines the lips the director renders; presets carry the mouth members."""

    @classmethod
    def setUpClass(cls):
        cls.tl = Timeline(320, 240, 128, 6, 2)
        cls.fm = FrameMaker(cls.tl, 2)
        cls.model = director.build(128)
        cls.pooled = np.random.default_rng(4).standard_normal((1, 64, 32, 32)).astype(np.float32) * 0.5
        cls.docs = {form: json.loads(lips.template(cls.tl, form)) for form in ("plain", "mapped")}

    def rendered_lips(self, i, kd):
        """The pixels of the director's crop of target frame i driven by kd that are mostly lip: the
        source is drawn with green lips and a blue mouth interior, which nothing else near the mouth is."""
        with mock.patch.object(face, "LIP", (0.0, 1.0, 0.0)), mock.patch.object(face, "MOUTH_IN", (0.0, 0.0, 1.0)):
            P = (np.moveaxis(self.fm.crop(i), -1, 0)[None] / np.float32(255)).astype(np.float32)
        feeds = dict(pooled64=self.pooled, P_rgb=P, kp_driving=kd[None].astype(np.float32),
                     kp_source=self.tl.kp[i][None].astype(np.float32))
        r, g, b = graph_eval.run(self.model, feeds)[0][0]
        return (r < 0.25) & (g + b > 0.6)

    def test_template_outlines_the_rendered_lips(self):
        open_, wide = audio.lip_patterns()
        shift = np.zeros((21, 3))
        shift[:, :2] = (0.03, -0.02)
        drives = {"same": 0, "open": open_, "open_wide": 0.8 * open_ + 0.8 * wide,
                  "open_round_moved": 0.6 * open_ - 0.6 * wide + shift.reshape(-1)}
        for form, min_iou, max_missed in (("plain", 0.8, 0.2), ("mapped", 0.93, 0.03)):
            doc = self.docs[form]
            self.assertEqual(len(doc["u_canon"]), lips.VERTICES)
            self.assertEqual("lip_map" in doc, form == "mapped")
            for i in (1, 4):
                for name, offset in drives.items():
                    kd = self.tl.kp[i] + np.reshape(offset, (21, 3)) if np.ndim(offset) else self.tl.kp[i]
                    lip = self.rendered_lips(i, kd)
                    poly = filled(template_polygon(doc, kd, self.tl.crop), self.tl.crop)
                    iou = (poly & lip).sum() / (poly | lip).sum()
                    missed = (lip & ~poly).sum() / lip.sum()
                    self.assertGreater(iou, min_iou, f"{form} frame {i} {name}")
                    self.assertLess(missed, max_missed, f"{form} frame {i} {name}")

    def test_members_are_deterministic_and_preset(self):
        self.assertEqual(lips.template(self.tl, "mapped"), json.dumps(self.docs["mapped"], separators=(",", ":")) + "\n")
        sample = make_bundle.parse(["--out", "x", "--preset", "sample"])
        tiny = make_bundle.parse(["--out", "x"])
        self.assertEqual((sample.unified, sample.lip_template), ("on", "mapped"))
        self.assertEqual((tiny.unified, tiny.lip_template), ("off", "none"))
        block = lips.unified_block(512)
        self.assertEqual(block["crop"]["canvas"], 512)
        self.assertEqual(block["pi"]["lip_idx"], list(LIP_ROWS))


class Bank(unittest.TestCase):
    """The donor bank: teeth the pass can weigh, donors from closed to wide, its stamp and presets."""

    @classmethod
    def setUpClass(cls):
        cls.tl = Timeline(1920, 1080, 512, 4, 5)
        cls.fm = FrameMaker(cls.tl, 5)
        cls.sidecar, cls.patches = bank.build(cls.tl, cls.fm, 6, 5)

    @staticmethod
    def teeth_pixels(rgb):
        """Pixels the pass counts as teeth: luma at least 100 and |G - R| under 25."""
        r, g, b = (rgb[..., k].astype(np.float64) for k in range(3))
        return (0.299 * r + 0.587 * g + 0.114 * b >= 100) & (np.abs(g - r) < 25)

    def test_open_donors_show_teeth(self):
        # inside the mouth's pi only teeth pass the rule (lips and skin are red-dominant); the pass
        # weights a frame by them once there are 32, which every open donor reaches
        x0, y0, w, h = bank.patch_rect(self.sidecar["geometry"])
        pi = bank.Pi(512, bank.CORPUS["v1"])
        _, kp = bank.donors(self.tl, 6, 5)
        inside = [pi.u8(k)[y0:y0 + h, x0:x0 + w] > 127 for k in kp]
        counts = [int((self.teeth_pixels(p) & m).sum()) for p, m in zip(self.patches, inside)]
        apertures = self.sidecar["aperture"]
        self.assertEqual(apertures, sorted(apertures))     # donors run from closed to wide
        self.assertLess(counts[0], 32, counts)
        self.assertGreaterEqual(min(counts[1:]), 32, counts)
        self.assertGreater(counts[-1], 3 * counts[1], counts)
        # without teeth the same mouths show none
        x0, y0, w, h = bank.patch_rect(self.sidecar["geometry"])
        plain = self.fm.crop_part(0, face.Expression(1.0, 1.0), x0, y0, w, h)
        self.assertEqual(int((self.teeth_pixels(plain) & inside[-1]).sum()), 0)

    def test_patches_are_the_crop_drawn_with_teeth(self):
        # a patch is the crop's own rectangle: without teeth it matches the full crop's pixels
        x0, y0, w, h = bank.patch_rect(self.sidecar["geometry"])
        part = self.fm.crop_part(3, self.tl.exprs[3], x0, y0, w, h).astype(int)
        full = self.fm.crop(3)[y0:y0 + h, x0:x0 + w].astype(int)
        self.assertLessEqual(np.abs(part - full).max(), 1)

    def test_stamp_and_sidecar(self):
        s = self.sidecar["geometry"]
        self.assertEqual(list(s), list(bank.STAMP_KEYS))
        self.assertEqual(bank.incoherent(s), [])
        self.assertEqual((s["canvas_w"], s["canvas_h"]), (512, 512))
        self.assertEqual(self.patches.shape[1:], (s["band_r1"] - s["band_r0"] + 2 * s["shift_margin"],
                                                  s["band_c1"] - s["band_c0"] + 2 * s["shift_margin"], 3))
        order = self.sidecar["track_order"]
        self.assertEqual(sorted(order), list(range(6)))
        self.assertNotEqual(order, list(range(6)))
        # each cent is the donor's own pi centroid, computed from its keypoints
        pi = bank.Pi(512, bank.CORPUS["v1"])
        _, kp = bank.donors(self.tl, 6, 5)
        for d in (0, 5):
            np.testing.assert_allclose(self.sidecar["cent"][d], pi.centroid(kp[d]), atol=1e-6)
        self.assertEqual(bank.manifest_block(self.sidecar)["geometry"], s)

    def test_geometry_too_small_to_name_is_refused(self):
        # at crop 64 the known pi geometries' canonical centroids are under 3 px apart
        tl = Timeline(160, 120, 64, 6, 1)
        with self.assertRaisesRegex(ValueError, "does not single out v1"):
            bank.build(tl, FrameMaker(tl, 1), 4, 1)

    def test_presets(self):
        sample = make_bundle.parse(["--out", "x", "--preset", "sample"])
        tiny = make_bundle.parse(["--out", "x"])
        self.assertEqual((sample.bank, sample.bank_donors), ("on", 96))
        self.assertEqual(tiny.bank, "off")
        with self.assertRaises(SystemExit):
            make_bundle.parse(["--out", "x", "--bank", "on"])   # no unified block to build against


if __name__ == "__main__":
    unittest.main()
