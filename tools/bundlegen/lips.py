"""The mouth geometry of a generated avatar: the manifest's `unified` block and
the lip template member "lip_template.v1.json".

`unified.pi` is the compose-mask geometry of the mouth borrow: an ellipse
around the lip keypoints (mode "prop"), padded by lip_geom_params [pad_x,
pad_y, down] in crop-normalised units, with the corner rule on.  The values are
those of the smallest known geometry; its ellipse covers the drawn mouth
(test_bundlegen checks this on drawn crops).

The lip template (format lip-template-v1) outlines the drawn lips: the outer
edge of the lip ellipse face.py paints, as a polygon of VERTICES vertices in
crop pixels (x = (kx + 1) crop / 2 for a keypoint x kx).  Two forms:

- plain: u_canon, the vertices relative to the lip keypoints' mean in units of
  their largest spread (the engine scales it per frame, no rotation);
- mapped: the same u_canon plus `lip_map` (lip-map-v1, anchor-linear), each
  vertex coordinate an affine function of the six lip keypoints' offsets from
  their mean, in pixels.  It follows rotation, scale, mouth opening and width.

Both are fitted by least squares to the drawn outline over random
placements (scale, roll, turn, opening, width) of the face in the crop;
every random choice comes from a fixed seed, and the numbers are written
rounded to 6 decimals, so the member depends only on the crop.
"""
import json

import numpy as np

from face import Expression, FaceGeometry
from keypoints import LIP_ROWS, face_points

TEMPLATE = "lip_template.v1.json"
FORMATS = ("none", "plain", "mapped")
VERTICES = 24
PI_GEOMETRY = (0.05, 0.08, 0.015)   # pad_x, pad_y, down
FIT_SEED = 20240611
FIT_SAMPLES = 600


def unified_block(crop):
    """The manifest's `unified` block for a bundle of this crop."""
    return {"pi": {"mode": "prop", "corner_recovery": "lip_landmark_half", "prop_gate_scale": 1.0,
                   "lip_idx": list(LIP_ROWS), "lip_geom_params": list(PI_GEOMETRY)},
            "crop": {"canvas": crop}}


class _Face(FaceGeometry):
    """A face geometry whose mouth is `width` times as wide (as spread lips look)."""

    def __init__(self, expr, yaw, width):
        super().__init__(expr, yaw)
        self.MOUTH_RX = FaceGeometry.MOUTH_RX * width


def lip_outline(g, n=VERTICES):
    """n points (u, v) on the outer edge of the lips face.py draws, in face units."""
    mu, mv, _ = g.mouth()
    centre = mv + (g.LOWER_LIP - g.UPPER_LIP) / 2
    ry = g.gap + (g.LOWER_LIP + g.UPPER_LIP) / 2
    t = 2 * np.pi * np.arange(n) / n
    return np.stack([mu + g.MOUTH_RX * np.cos(t), centre + ry * np.sin(t)], axis=1)


def place(points, crop, cx, cy, scale, roll):
    """Face units to crop pixels: a similarity about the face origin at (cx, cy)."""
    c, s = np.cos(roll), np.sin(roll)
    u, v = points[:, 0], points[:, 1]
    return np.stack([cx + scale * (c * u - s * v), cy + scale * (s * u + c * v)], axis=1)


def samples(crop, count=FIT_SAMPLES, seed=FIT_SEED):
    """(anchors, outline) pairs in crop pixels: the six lip keypoints and the drawn lip outline."""
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(count):
        expr = Expression(mouth_open=rng.uniform(0.0, 1.0))
        g = _Face(expr, rng.uniform(-0.15, 0.15), rng.uniform(0.85, 1.15))
        pose = (crop * rng.uniform(0.42, 0.58), crop * rng.uniform(0.42, 0.58),
                crop / 2 * rng.uniform(0.85, 1.15), rng.uniform(-0.15, 0.15))
        anchors = place(face_points(g)[list(LIP_ROWS)], crop, *pose)
        out.append((anchors, place(lip_outline(g), crop, *pose)))
    return out


def polygon(anchors, u_canon, W=None, b=None):
    """The engine's per-frame polygon (nv x 2 pixels) from the anchor pixels."""
    m = anchors.mean(axis=0)
    if W is None:
        spread = np.maximum(np.abs(anchors - m).max(axis=0), 1e-6)
        return u_canon * spread + m
    f = (anchors - m).reshape(-1)
    return (np.asarray(b) + np.asarray(W) @ f).reshape(-1, 2) + m


def fit(crop):
    """u_canon (nv x 2) and the map's W (2 nv x 12) and b (2 nv)."""
    pairs = samples(crop)
    offsets, spreads, features = [], [], []
    for anchors, outline in pairs:
        m = anchors.mean(axis=0)
        offsets.append(outline - m)
        spreads.append(np.maximum(np.abs(anchors - m).max(axis=0), 1e-6))
        features.append((anchors - m).reshape(-1))
    offsets, spreads, features = np.array(offsets), np.array(spreads), np.array(features)
    # per vertex and axis: argmin over u of sum (spread u - offset)^2
    u_canon = (offsets * spreads[:, None, :]).sum(axis=0) / (spreads ** 2).sum(axis=0)
    # affine in the 12 features; a light ridge keeps the nearly collinear
    # columns (rows 6, 17, 19 and 20 share one vertical line) from trading
    # large opposite coefficients
    A = np.hstack([features, np.ones((len(features), 1))])
    T = offsets.reshape(len(offsets), -1)
    ridge = 1e-6 * np.trace(A.T @ A) / A.shape[1] * np.eye(A.shape[1])
    ridge[-1, -1] = 0.0
    beta = np.linalg.solve(A.T @ A + ridge, A.T @ T)
    return u_canon, beta[:-1].T, beta[-1]


def template(crop, form):
    """Text of the lip template member: form "plain" or "mapped"."""
    u_canon, W, b = fit(crop)
    doc = {"format": "lip-template-v1", "canvas": crop, "feather_px": max(1.0, crop / 64.0),
           "u_canon": _rounded(u_canon), "lip_idx": list(LIP_ROWS)}
    if form == "mapped":
        doc["lip_map"] = {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": list(LIP_ROWS),
                          "W": _rounded(W), "b": _rounded(b), "canvas": crop}
    elif form != "plain":
        raise ValueError(f"unknown lip template form {form}")
    return json.dumps(doc, separators=(",", ":")) + "\n"


def _rounded(a):
    return np.round(np.asarray(a, dtype=np.float64), 6).tolist()
