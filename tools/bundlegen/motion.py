"""Motion of the avatar: the NT target frames, their paste transforms, the idle loop.

The target frames are one seamless loop: every motion is periodic over NT.
The crop follows the head like a face tracker would, a little behind it, so the
face moves slightly inside the crop too.  The idle loop walks the target frames
forwards and backwards (si) and drives them with its own blinks and small head
motion (xd) over the keypoints of the frame it shows (xs).
"""
import math

import numpy as np

from face import Expression, FaceGeometry, Pose
from keypoints import keypoints

CROP_SHARE = 0.55   # the crop covers this share of the canvas height


def _blink(t, at, period):
    """Eye openness around a blink centred on frame `at` of a loop of `period`."""
    d = abs((t - at + period / 2) % period - period / 2)
    return float(min(1.0, 0.05 + 0.95 * (d / 1.6) ** 2))


class Timeline:
    def __init__(self, W, H, crop, nt, seed):
        rng = np.random.default_rng([seed, 11])
        self.W, self.H, self.crop, self.nt = W, H, crop, nt
        m_scale = CROP_SHARE * H / crop
        scale = m_scale * crop / 2.0
        self.rest = Pose(cx=W * (0.5 + rng.uniform(-0.06, 0.06)), cy=H * 0.47,
                         scale=scale, roll=0.0, yaw=0.0)
        self.phase = rng.uniform(0, 2 * math.pi, 6)
        self.blink_at = int(rng.integers(nt)) if nt > 0 else 0
        self.poses, self.exprs, self.M = [], [], np.zeros((nt, 6), np.float32)
        for i in range(nt):
            pose, expr = self._frame(i)
            self.poses.append(pose)
            self.exprs.append(expr)
            self.M[i] = self._track(i, pose)
        self.kp = np.stack([self.target_keypoints(i) for i in range(nt)]) if nt else np.zeros((0, 21, 3), np.float32)

    def _wave(self, i, k, cycles=1):
        return math.sin(2 * math.pi * cycles * i / max(self.nt, 1) + self.phase[k])

    def _frame(self, i):
        r = self.rest
        pose = Pose(cx=r.cx + 0.05 * r.scale * self._wave(i, 0),
                    cy=r.cy + 0.03 * r.scale * self._wave(i, 1),
                    scale=r.scale * (1.0 + 0.015 * self._wave(i, 2)),
                    roll=0.05 * self._wave(i, 3), yaw=0.08 * self._wave(i, 4))
        expr = Expression(eye_open=_blink(i, self.blink_at, self.nt),
                          mouth_open=0.04 + 0.03 * self._wave(i, 5, 2))
        return pose, expr

    def _track(self, i, pose):
        """Crop-to-canvas M over pixel indices for target frame i."""
        crop = self.crop
        s = pose.scale / (crop / 2.0) * (1.0 + 0.01 * self._wave(i, 5))
        th = 0.6 * pose.roll
        lag = 0.02 * pose.scale
        cx = pose.cx + lag * self._wave(i, 2)
        cy = pose.cy + lag * self._wave(i, 3)
        a, b = s * math.cos(th), -s * math.sin(th)
        c, d = s * math.sin(th), s * math.cos(th)
        # continuous: canvas = A (x - crop/2) + centre; indices are continuous - 0.5
        h = crop / 2.0
        tx = cx - (a * h + b * h) + 0.5 * (a + b) - 0.5
        ty = cy - (c * h + d * h) + 0.5 * (c + d) - 0.5
        return (a, b, tx, c, d, ty)

    def target_keypoints(self, i):
        g = FaceGeometry(self.exprs[i], self.poses[i].yaw)
        return keypoints(g, self.poses[i], self.M[i], self.crop)

    def idle_loop(self, frames, seed):
        """si (int32), xs and xd (float32, frames x 63) of the idle loop."""
        rng = np.random.default_rng([seed, 13])
        nt = self.nt
        period = max(2 * nt - 2, 1)
        si = np.array([p if p < nt else period - p for p in (d % period for d in range(frames))],
                      dtype=np.int32) if nt > 1 else np.zeros(frames, np.int32)
        xs = self.kp[si].reshape(frames, 63) if frames else np.zeros((0, 63), np.float32)
        blinks = list(range(frames // 3, frames, max(int(rng.integers(60, 100)), 1))) if frames else []
        ph = rng.uniform(0, 2 * math.pi, 4)
        xd = np.zeros((frames, 63), np.float32)
        for d in range(frames):
            t = 2 * math.pi * d / max(frames, 1)
            base = self.poses[si[d]]
            pose = Pose(cx=base.cx + 0.02 * base.scale * math.sin(t + ph[0]),
                        cy=base.cy + 0.015 * base.scale * math.sin(2 * t + ph[1]),
                        scale=base.scale, roll=base.roll + 0.03 * math.sin(t + ph[2]),
                        yaw=base.yaw + 0.05 * math.sin(t + ph[3]))
            eye = min([1.0] + [_blink(d, b, 10 ** 9) for b in blinks])
            expr = Expression(eye_open=eye, mouth_open=0.03)
            xd[d] = keypoints(FaceGeometry(expr, pose.yaw), pose, self.M[si[d]], self.crop).reshape(63)
        return si, xs, xd
