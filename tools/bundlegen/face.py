"""Procedural avatar: a seated person in front of a room, drawn analytically.

Everything is a function of continuous canvas coordinates (pixel (i, j) has
its centre at (i + 0.5, j + 0.5)), so the same scene can be sampled on the
canvas grid for the driver frames and on the crop grid mapped through M for the
warp prior; the two then agree by construction.

Shapes are ellipses and rounded boxes with an approximate signed distance; the
coverage of a pixel is the distance clipped over one pixel footprint, which
anti-aliases every edge without supersampling.

The face lives in face units (u right, v down): the aligned crop spans -1..1 in
both, the face oval is centred near the origin. `Pose` places the face on the
canvas, `Expression` opens the eyes and the mouth; `FaceGeometry` holds the
feature centres and sizes that both the drawing and the keypoints use.
"""
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Pose:
    cx: float      # canvas position of the face origin
    cy: float
    scale: float   # canvas pixels per face unit
    roll: float    # radians, clockwise on screen
    yaw: float     # turns features sideways by yaw x depth (face units)


@dataclass(frozen=True)
class Expression:
    eye_open: float = 1.0    # 0 closed .. 1 open
    mouth_open: float = 0.0  # 0 closed .. 1 wide
    teeth: bool = False      # teeth inside the open mouth (the donor bank's faces)


def depth(u, v):
    """Depth of the face surface towards the camera, in face units."""
    shell = 0.45 * np.sqrt(np.maximum(0.0, 1.0 - (u / 0.62) ** 2 - (v / 0.8) ** 2))
    nose = 0.16 * np.exp(-((u / 0.06) ** 2 + ((v - 0.1) / 0.12) ** 2))
    return shell + nose


class FaceGeometry:
    """Feature placement for one expression and yaw, in face units."""

    FACE_C, FACE_R = (0.0, 0.02), (0.50, 0.66)
    EYE_V, EYE_U, EYE_RX, EYE_RY = -0.12, 0.20, 0.095, 0.045
    BROW_V, BROW_RX, BROW_RY = -0.255, 0.115, 0.024
    MOUTH_V, MOUTH_RX = 0.36, 0.165
    UPPER_LIP, LOWER_LIP = 0.035, 0.045
    TOOTH_W = 0.03                          # width of one tooth
    UPPER_TEETH, LOWER_TEETH = 0.03, 0.02   # largest visible height of each row

    def __init__(self, expr: Expression, yaw: float):
        self.expr = expr
        self.yaw = yaw
        self.eye_ry = max(0.004, self.EYE_RY * float(np.clip(expr.eye_open, 0.0, 1.0)))
        self.gap = 0.004 + 0.07 * float(np.clip(expr.mouth_open, 0.0, 1.0))

    def at(self, u, v):
        """(u, v, z) of a surface point after the yaw shift."""
        z = float(depth(u, v))
        return (u + self.yaw * z, v, z)

    def eye(self, side):
        return self.at(side * self.EYE_U, self.EYE_V)

    def brow(self, side):
        return self.at(side * 0.2, self.BROW_V)

    def mouth(self):
        return self.at(0.0, self.MOUTH_V)

    def nose(self):
        return self.at(0.0, 0.13)


# Colours (linear 0..1 RGB, written as sRGB bytes without conversion).
SKIN_TONES = ((0.87, 0.68, 0.56), (0.76, 0.56, 0.42), (0.58, 0.40, 0.29), (0.93, 0.77, 0.66))
HAIR_TONES = ((0.17, 0.11, 0.07), (0.35, 0.22, 0.12), (0.08, 0.07, 0.07), (0.55, 0.40, 0.22))
SHIRT_TONES = ((0.20, 0.33, 0.55), (0.55, 0.18, 0.20), (0.25, 0.45, 0.30), (0.35, 0.35, 0.38))
LIP = (0.70, 0.33, 0.33)
MOUTH_IN = (0.22, 0.05, 0.06)
SCLERA = (0.95, 0.94, 0.92)
IRIS = (0.28, 0.42, 0.25)
PUPIL = (0.03, 0.03, 0.04)
TEETH = (0.94, 0.92, 0.86)
LASH = (0.10, 0.07, 0.06)


def ellipse(u, v, cu, cv, a, b, px, ang=0.0):
    """Coverage (0..1) of an ellipse; px is the pixel footprint in the same units."""
    du, dv = u - cu, v - cv
    if ang:
        c, s = np.cos(ang), np.sin(ang)
        du, dv = c * du + s * dv, -s * du + c * dv
    qa, qb = du / a, dv / b
    g = qa * qa + qb * qb - 1.0
    grad = 2.0 * np.sqrt((qa / a) ** 2 + (qb / b) ** 2)
    return np.clip(0.5 - g / np.maximum(grad, 1e-9) / px, 0.0, 1.0)


def box(x, y, x0, y0, x1, y1, r, px):
    """Coverage of a box with corner radius r."""
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    qx = np.abs(x - (x0 + x1) / 2) - hx
    qy = np.abs(y - (y0 + y1) / 2) - hy
    d = np.hypot(np.maximum(qx, 0), np.maximum(qy, 0)) + np.minimum(np.maximum(qx, qy), 0) - r
    return np.clip(0.5 - d / px, 0.0, 1.0)


def over(rgb, colour, a):
    """Paints colour (an RGB triple or an H x W x 3 array) with coverage a."""
    a = a[..., None]
    rgb *= 1.0 - a
    rgb += a * np.asarray(colour, dtype=np.float64)


class Scene:
    """The room, the torso and the head for one seeded avatar."""

    def __init__(self, W, H, rest: Pose, seed):
        rng = np.random.default_rng([seed, 7])
        self.W, self.H = W, H
        self.rest = rest
        self.skin = np.array(SKIN_TONES[rng.integers(len(SKIN_TONES))])
        self.hair = np.array(HAIR_TONES[rng.integers(len(HAIR_TONES))])
        self.shirt = np.array(SHIRT_TONES[rng.integers(len(SHIRT_TONES))])
        self.wall = rng.uniform(0.55, 0.8, 3)
        self.window_x = rng.uniform(0.04, 0.12)
        self.picture = rng.uniform(0.2, 0.8, 3)

    # -- background, in canvas pixels -------------------------------------
    def background(self, X, Y, px):
        H, W = self.H, self.W
        y = Y / H
        rgb = np.empty(X.shape + (3,))
        rgb[:] = self.wall * 0.85
        rgb += (0.15 * (1.0 - y))[..., None] * self.wall
        wx0, wx1 = self.window_x * W, self.window_x * W + 0.28 * H
        over(rgb, (0.92, 0.92, 0.9), box(X, Y, wx0 - 0.02 * H, 0.1 * H, wx1 + 0.02 * H, 0.6 * H, 0.01 * H, px))
        sky = np.stack([0.55 + 0.3 * y, 0.72 + 0.2 * y, np.full_like(y, 0.95)], axis=-1)
        over(rgb, sky, box(X, Y, wx0, 0.12 * H, wx1, 0.58 * H, 0.0, px))
        over(rgb, (0.92, 0.92, 0.9), box(X, Y, (wx0 + wx1) / 2 - 0.008 * H, 0.12 * H,
                                        (wx0 + wx1) / 2 + 0.008 * H, 0.58 * H, 0.0, px))
        px0 = W - self.window_x * W - 0.22 * H
        over(rgb, (0.25, 0.18, 0.12), box(X, Y, px0, 0.16 * H, px0 + 0.22 * H, 0.42 * H, 0.005 * H, px))
        over(rgb, self.picture, box(X, Y, px0 + 0.015 * H, 0.175 * H, px0 + 0.205 * H, 0.405 * H, 0.0, px))
        over(rgb, (0.42, 0.30, 0.2), box(X, Y, -H, 0.86 * H, W + H, 2 * H, 0.0, px))
        r = self.rest
        over(rgb, self.shirt, ellipse(X, Y, r.cx, r.cy + 1.8 * r.scale, 1.45 * r.scale, 1.0 * r.scale, px))
        return rgb

    def torso(self, X, Y, px):
        r = self.rest
        return ellipse(X, Y, r.cx, r.cy + 1.8 * r.scale, 1.45 * r.scale, 1.0 * r.scale, px)

    # -- the head, in face units ------------------------------------------
    def head(self, rgb, grid, px, pose: Pose, expr: Expression):
        """Paints the head over rgb, sampled on `grid`; returns the face oval coverage.

        Every feature is evaluated only in the window of rgb it can touch.
        """
        X, Y = grid.X, grid.Y
        c, s = np.cos(pose.roll), np.sin(pose.roll)
        dx, dy = X - pose.cx, Y - pose.cy
        u = (c * dx + s * dy) / pose.scale
        v = (-s * dx + c * dy) / pose.scale
        p = px / pose.scale

        def paint(colour, cu, cv, r, cov):
            X0 = pose.cx + pose.scale * (c * cu - s * cv)
            Y0 = pose.cy + pose.scale * (s * cu + c * cv)
            sl = grid.window(X0, Y0, r * pose.scale)
            if sl is not None:
                us, vs = u[sl], v[sl]
                col = colour(us, vs) if callable(colour) else colour
                a = cov(us, vs, sl)
                over(rgb[sl], col, a)
                return sl, a
            return None

        g = FaceGeometry(expr, pose.yaw)
        shift = pose.yaw * depth(0.0, 0.0)
        skin = self.skin
        # the neck disappears into the shirt
        ku = shift * 0.3
        paint(skin * 0.82, ku, 0.95, 0.75, lambda a, b, sl: box(a, b, ku - 0.2, 0.3, ku + 0.2, 1.6, 0.08, p)
              * (1.0 - self.torso(X[sl], Y[sl], px)))
        paint(self.hair, shift * 0.5, -0.1, 0.75, lambda a, b, _: ellipse(a, b, shift * 0.5, -0.1, 0.62, 0.74, p))
        for side in (-1, 1):
            eu = side * 0.5 + shift * 0.3
            paint(skin * 0.9, eu, 0.02, 0.14, lambda a, b, _: ellipse(a, b, eu, 0.02, 0.07, 0.13, p))
        fu, fv = FaceGeometry.FACE_C
        fu += shift * 0.5
        face = np.zeros(u.shape, dtype=u.dtype)
        painted = paint(lambda a, b: skin * (1.0 - 0.18 * np.clip(((a - shift) / 0.5) ** 2
                                                                  + ((b - 0.02) / 0.66) ** 2, 0.0, 1.0))[..., None],
                        fu, fv, 0.67, lambda a, b, _: ellipse(a, b, fu, fv, *FaceGeometry.FACE_R, p))
        if painted is not None:
            face[painted[0]] = painted[1]
        hu = shift * 0.6
        paint(self.hair, hu, -0.56, 0.53,
              lambda a, b, _: ellipse(a, b, hu, -0.56, 0.52, 0.2, p) * np.clip((-0.38 - b) / p + 0.5, 0.0, 1.0))
        for side in (-1, 1):
            bu, bv, _ = g.brow(side)
            paint(self.hair * 1.1, bu, bv, 0.13,
                  lambda a, b, _: ellipse(a, b, bu, bv, g.BROW_RX, g.BROW_RY, p, ang=side * 0.12))
            eu, ev, _ = g.eye(side)
            sclera = {}

            def white(a, b, _):
                sclera["a"] = ellipse(a, b, eu, ev, g.EYE_RX, g.eye_ry, p)
                return sclera["a"]
            paint(LASH, eu, ev, 0.12,
                  lambda a, b, _: ellipse(a, b, eu, ev - 0.004, g.EYE_RX + 0.012, g.eye_ry + 0.012, p))
            paint(SCLERA, eu, ev, 0.12, white)
            paint(IRIS, eu, ev, 0.12, lambda a, b, _: np.minimum(sclera["a"], ellipse(a, b, eu, ev, 0.038, 0.038, p)))
            paint(PUPIL, eu, ev, 0.12, lambda a, b, _: np.minimum(sclera["a"], ellipse(a, b, eu, ev, 0.016, 0.016, p)))
        nu, nv, _ = g.nose()
        paint(skin * 0.86, nu, nv - 0.08, 0.16, lambda a, b, _: ellipse(a, b, nu, nv - 0.08, 0.045, 0.14, p) * 0.6)
        for side in (-1, 1):
            paint(skin * 0.45, nu + side * 0.035, nv + 0.035, 0.03,
                  lambda a, b, _: ellipse(a, b, nu + side * 0.035, nv + 0.035, 0.02, 0.011, p))
        mu, mv, _ = g.mouth()
        lip_c = mv + (g.LOWER_LIP - g.UPPER_LIP) / 2
        lip_ry = g.gap + (g.LOWER_LIP + g.UPPER_LIP) / 2
        paint(LIP, mu, lip_c, g.MOUTH_RX + 0.01, lambda a, b, _: ellipse(a, b, mu, lip_c, g.MOUTH_RX, lip_ry, p))
        paint(MOUTH_IN, mu, mv, g.MOUTH_RX, lambda a, b, _: ellipse(a, b, mu, mv, g.MOUTH_RX * 0.8, g.gap, p))
        if expr.teeth:
            self.teeth(paint, g, p)
        return face

    @staticmethod
    def teeth(paint, g, p):
        """Upper and lower teeth inside the mouth opening: a row under each lip, at most its
        height and never more than a share of the opening, split into teeth by darker seams and
        shaded towards the corners. The shares leave most of a small opening dark, as a render
        of the same opening shows it: the teeth pass matches donors to the frame over the whole
        mouth while the frame has no teeth of its own, and teeth filling the opening would make
        the narrower donors (lips where the frame is dark) the closer match."""
        mu, mv, _ = g.mouth()
        rx = g.MOUTH_RX * 0.8

        def colour(a, b):
            seam = np.abs((a - mu) / g.TOOTH_W - np.rint((a - mu) / g.TOOTH_W)) * g.TOOTH_W
            dark = np.clip(0.5 - (seam - 0.002) / p, 0.0, 1.0)
            shade = 1.0 - 0.35 * np.clip(((a - mu) / rx) ** 2, 0.0, 1.0)
            return (shade * (1.0 - 0.45 * dark))[..., None] * np.asarray(TEETH)

        upper = min(g.UPPER_TEETH, 0.35 * g.gap)
        lower = min(g.LOWER_TEETH, 0.15 * g.gap)
        for v0, v1 in ((mv - g.gap - 0.01, mv - g.gap + upper), (mv + g.gap - lower, mv + g.gap + 0.01)):
            paint(colour, mu, mv, g.MOUTH_RX,
                  lambda a, b, _, v0=v0, v1=v1: np.minimum(ellipse(a, b, mu, mv, rx, g.gap, p),
                                                         box(a, b, mu - rx, v0, mu + rx, v1, 0.0, p)))

    def render(self, grid, px, pose, expr, background=None):
        """RGB floats of the scene on the grid's positions; also the face oval."""
        rgb = self.background(grid.X, grid.Y, px) if background is None else background.copy()
        face = self.head(rgb, grid, px, pose, expr)
        return rgb, face

    def head_box(self, pose: Pose):
        """Canvas pixel box [x0, x1) x [y0, y1) that the head can touch."""
        c, s = np.cos(pose.roll), np.sin(pose.roll)
        corners = np.array([(-0.75, -1.0), (0.75, -1.0), (-0.75, 1.7), (0.75, 1.7)]) * pose.scale
        xs = pose.cx + c * corners[:, 0] - s * corners[:, 1]
        ys = pose.cy + s * corners[:, 0] + c * corners[:, 1]
        x0 = int(np.clip(np.floor(xs.min()) - 2, 0, self.W))
        x1 = int(np.clip(np.ceil(xs.max()) + 2, 0, self.W))
        y0 = int(np.clip(np.floor(ys.min()) - 2, 0, self.H))
        y1 = int(np.clip(np.ceil(ys.max()) + 2, 0, self.H))
        return x0, x1, y0, y1


class Grid:
    """Canvas positions of a pixel grid: X = a i + b j + tx, Y = c i + d j + ty.

    i is the column and j the row of the grid; the map is a similarity, so a
    canvas disc covers a square window of the grid.
    """

    def __init__(self, cols, rows, a=1.0, b=0.0, tx=0.5, c=0.0, d=1.0, ty=0.5):
        i, j = np.meshgrid(np.arange(cols, dtype=np.float32), np.arange(rows, dtype=np.float32))
        self.X = a * i + b * j + tx
        self.Y = c * i + d * j + ty
        self.cols, self.rows = cols, rows
        det = a * d - b * c
        self.inv = np.array([[d, -b], [-c, a]]) / det
        self.t = np.array([tx, ty])
        self.unit = np.sqrt(abs(det))

    def window(self, X0, Y0, R):
        """Slice of the grid that holds every point within R canvas pixels of (X0, Y0)."""
        ic, jc = self.inv @ (np.array([X0, Y0]) - self.t)
        r = R / self.unit + 2.0
        i0, i1 = max(int(np.floor(ic - r)), 0), min(int(np.ceil(ic + r)) + 1, self.cols)
        j0, j1 = max(int(np.floor(jc - r)), 0), min(int(np.ceil(jc + r)) + 1, self.rows)
        if i0 >= i1 or j0 >= j1:
            return None
        return np.s_[j0:j1, i0:i1]


def to_bytes(rgb):
    return np.clip(np.rint(rgb * 255.0), 0, 255).astype(np.uint8)
