"""Tests of the bundle generator: run with /usr/bin/python3 -m unittest discover -s tools/bundlegen."""
import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

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


if __name__ == "__main__":
    unittest.main()
