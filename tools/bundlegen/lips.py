"""The mouth geometry of a generated avatar: the manifest's `unified` block and
the lip template member "lip_template.v1.json".

`unified.pi` is the compose-mask geometry of the mouth borrow: an ellipse
around the lip keypoints (mode "prop"), padded by lip_geom_params [pad_x,
pad_y, down] in crop-normalised units, with the corner rule on.  The values are
those of the smallest known geometry; its ellipse covers the drawn mouth.

The lip template (format lip-template-v1) outlines the lips as the director
renders them: the outer edge of the lip ellipse face.py paints, carried
through the director's backward map, as a polygon of VERTICES vertices in crop
pixels (x = (kx + 1) crop / 2 for a keypoint x kx).  Two forms:

- plain: u_canon, the vertices relative to the lip keypoints' mean in units of
  their largest spread (the engine scales it per frame, no rotation);
- mapped: the same u_canon plus `lip_map` (lip-map-v1, anchor-linear), each
  vertex coordinate an affine function of the six lip keypoints' offsets from
  their mean, in pixels.

Both are fitted by least squares over driven frames of the bundle's own
target frames: the speech models' lip offsets (opening and width, audio.py)
and small head motion applied to the driving keypoints, the rendered outline
found by inverting the director's displacement field (evaluated from its own
graph) at the drawn source outline.  Every random choice comes from a fixed
seed and the numbers are written rounded to 6 decimals.
"""
import json

import numpy as np
import onnx

import audio
import director
import graph_eval
from face import FaceGeometry
from keypoints import LIP_ROWS, project

TEMPLATE = "lip_template.v1.json"
FORMATS = ("none", "plain", "mapped")
VERTICES = 24
PI_GEOMETRY = (0.05, 0.08, 0.015)   # pad_x, pad_y, down
FIT_SEED = 20240611
FIT_SAMPLES = 400
CHUNK = 50          # driven frames per evaluation of the director's field
INVERSE_STEPS = 30  # fixed-point steps from a source point to the output pixel that shows it


def unified_block(crop):
    """The manifest's `unified` block for a bundle of this crop."""
    return {"pi": {"mode": "prop", "corner_recovery": "lip_landmark_half", "prop_gate_scale": 1.0,
                   "lip_idx": list(LIP_ROWS), "lip_geom_params": list(PI_GEOMETRY)},
            "crop": {"canvas": crop}}


def lip_outline(g, n=VERTICES):
    """n points (u, v, 0) on the outer edge of the lips face.py draws, in face units."""
    mu, mv, _ = g.mouth()
    centre = mv + (g.LOWER_LIP - g.UPPER_LIP) / 2
    ry = g.gap + (g.LOWER_LIP + g.UPPER_LIP) / 2
    t = 2 * np.pi * np.arange(n) / n
    return np.stack([mu + g.MOUTH_RX * np.cos(t), centre + ry * np.sin(t), np.zeros(n)], axis=1)


def driven(tl, count=FIT_SAMPLES, seed=FIT_SEED):
    """count driven frames: source keypoints ks, driving keypoints kd ([count, 21, 3]) and
    the drawn lip outline of the source frame ([count, VERTICES, 2], crop-normalised)."""
    rng = np.random.default_rng(seed)
    open_, wide = audio.lip_patterns()
    ks, kd, src = [], [], []
    for _ in range(count):
        f = int(rng.integers(tl.nt))
        k = tl.kp[f].astype(np.float64)
        a = rng.uniform(0.0, 1.0) if rng.uniform() < 0.8 else 0.0
        d = k + (a * open_ + a * rng.uniform(-1.0, 1.0) * wide).reshape(21, 3)
        # idle head motion: a small turn, scale and shift about the keypoints' centre
        c = d[:, :2].mean(axis=0)
        th, sc = rng.uniform(-0.04, 0.04), rng.uniform(0.98, 1.02)
        R = sc * np.array([[np.cos(th), -np.sin(th)], [np.sin(th), np.cos(th)]])
        d[:, :2] = (d[:, :2] - c) @ R.T + c + rng.uniform(-0.03, 0.03, 2)
        g = FaceGeometry(tl.exprs[f], tl.poses[f].yaw)
        ks.append(k)
        kd.append(d)
        src.append(project(lip_outline(g), tl.poses[f], tl.M[f], tl.crop)[:, :2])
    return np.array(ks, np.float32), np.array(kd, np.float32), np.array(src, np.float64)


def field_at(field, p):
    """The displacement at crop-normalised points p [B, K, 2] of coarse fields [B, 2, side, side],
    interpolated as the director's linear half_pixel resize does between pixel centres."""
    side = field.shape[-1]
    u = np.clip((p + 1.0) / 2.0 * side - 0.5, 0.0, side - 1.0)
    i0 = np.minimum(np.floor(u).astype(int), side - 2)
    t = u - i0
    b = np.arange(len(p))[:, None]
    out = np.zeros(p.shape)
    for dy in (0, 1):
        wy = t[..., 1] if dy else 1.0 - t[..., 1]
        for dx in (0, 1):
            wx = t[..., 0] if dx else 1.0 - t[..., 0]
            v = field[b, :, i0[..., 1] + dy, i0[..., 0] + dx]   # [B, K, 2]
            out += (wx * wy)[..., None] * v
    return out


FIELD = "/grid/field_nchw_out"   # the director's displacement [B, 2, side, side] before its resize


def field_model(crop):
    """The standard director cut down to the nodes its displacement field needs
    (kp_driving, kp_source [B, 21, 3] -> FIELD): the field from the graph itself."""
    model = director.build(crop, batch=None)
    producers = {o: n for n in model.graph.node for o in n.output}
    keep, todo = set(), [FIELD]
    while todo:
        node = producers.get(todo.pop())
        if node is not None and id(node) not in keep:
            keep.add(id(node))
            todo.extend(node.input)
    nodes = [n for n in model.graph.node if id(n) in keep]
    inputs = [i for i in model.graph.input if i.name in ("kp_driving", "kp_source")]
    out = onnx.helper.make_tensor_value_info(FIELD, onnx.TensorProto.FLOAT, None)
    graph = onnx.helper.make_graph(nodes, "director_field", inputs, [out], model.graph.initializer)
    return onnx.helper.make_model(graph, opset_imports=model.opset_import)


def rendered(crop, ks, kd, src):
    """Where the director shows the source points src: the output points p with p + field(p) = src."""
    model = field_model(crop)
    out = []
    for s in range(0, len(ks), CHUNK):
        (field,) = graph_eval.run(model, {"kp_driving": kd[s:s + CHUNK], "kp_source": ks[s:s + CHUNK]})
        q = src[s:s + CHUNK]
        p = q.copy()
        for _ in range(INVERSE_STEPS):
            p = q - field_at(field.astype(np.float64), p)
        out.append(p)
    return np.concatenate(out)


def polygon(anchors, u_canon, W=None, b=None):
    """The engine's per-frame polygon (nv x 2 pixels) from the anchor pixels."""
    m = anchors.mean(axis=0)
    if W is None:
        spread = np.maximum(np.abs(anchors - m).max(axis=0), 1e-6)
        return u_canon * spread + m
    f = (anchors - m).reshape(-1)
    return (np.asarray(b) + np.asarray(W) @ f).reshape(-1, 2) + m


def fit(tl):
    """u_canon (nv x 2) and the map's W (2 nv x 12) and b (2 nv) for the bundle's timeline."""
    ks, kd, src = driven(tl)
    px = tl.crop / 2.0
    anchors = (kd[:, list(LIP_ROWS), :2].astype(np.float64) + 1.0) * px
    outline = (rendered(tl.crop, ks, kd, src) + 1.0) * px
    m = anchors.mean(axis=1, keepdims=True)
    offsets = outline - m
    spreads = np.maximum(np.abs(anchors - m).max(axis=1), 1e-6)
    features = (anchors - m).reshape(len(anchors), -1)
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


def template(tl, form):
    """Text of the lip template member for the bundle's timeline: form "plain" or "mapped"."""
    crop = tl.crop
    u_canon, W, b = fit(tl)
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
