"""Pixels of the driver frames (canvas) and of the warp prior (face crops)."""
import numpy as np

from face import Grid, Scene, to_bytes
from motion import Timeline


class FrameMaker:
    def __init__(self, timeline: Timeline, seed):
        self.t = timeline
        self.scene = Scene(timeline.W, timeline.H, timeline.rest, seed)
        full = Grid(timeline.W, timeline.H)
        # the room does not move: draw it once
        self.room = self.scene.background(full.X, full.Y, 1.0)
        self.room_bytes = to_bytes(self.room)

    def canvas(self, i, with_face=False):
        """W x H x 3 uint8 driver frame i (and the face oval coverage on request)."""
        pose, expr = self.t.poses[i], self.t.exprs[i]
        x0, x1, y0, y1 = self.scene.head_box(pose)
        out = self.room_bytes.copy()
        grid = Grid(x1 - x0, y1 - y0, tx=x0 + 0.5, ty=y0 + 0.5)
        part, face = self.scene.render(grid, 1.0, pose, expr, background=self.room[y0:y1, x0:x1])
        out[y0:y1, x0:x1] = to_bytes(part)
        if not with_face:
            return out
        full = np.zeros(out.shape[:2])
        full[y0:y1, x0:x1] = face
        return out, full

    def crop(self, i, with_face=False):
        """crop x crop x 3 uint8 face crop i: the canvas seen through M."""
        n = self.t.crop
        a, b, tx, c, d, ty = (float(v) for v in self.t.M[i])
        grid = Grid(n, n, a, b, tx + 0.5, c, d, ty + 0.5)
        rgb, face = self.scene.render(grid, grid.unit, self.t.poses[i], self.t.exprs[i])
        return (to_bytes(rgb), face) if with_face else to_bytes(rgb)

    def crop_part(self, i, expr, x0, y0, w, h):
        """h x w x 3 uint8: columns x0.. and rows y0.. of face crop i drawn with another expression."""
        a, b, tx, c, d, ty = (float(v) for v in self.t.M[i])
        grid = Grid(w, h, a, b, tx + a * x0 + b * y0 + 0.5, c, d, ty + c * x0 + d * y0 + 0.5)
        rgb, _ = self.scene.render(grid, grid.unit, self.t.poses[i], expr)
        return to_bytes(rgb)
