"""A numpy evaluator for the operators the generated director graphs use.

There is no ONNX runtime for Python on the build machines; this runs a graph
node by node in float32 (float64 inside convolutions and resampling) so the
tests can check what a generated director computes, not only how it is wired.
Int8ConvVNNI runs as the engine's kernel defines it: the activation quantised
per call to u8 over a range that includes 0, int8 weights, per-channel scale.
"""
import numpy as np
from onnx import helper, mapping, numpy_helper


def _attrs(node):
    values = {a.name: helper.get_attribute_value(a) for a in node.attribute}
    return {k: v.decode() if isinstance(v, bytes) else v for k, v in values.items()}


def _conv(x, w, b, strides=(1, 1), pads=(0, 0, 0, 0), group=1, **_):
    if x.ndim == 3:     # 1-D: a 2-D convolution over rows of height 1
        y = _conv(x[:, :, None], w[:, :, None], b, (1, strides[0]), (0, pads[0], 0, pads[1]), group)
        return y[:, :, 0]
    x = np.pad(x.astype(np.float64), ((0, 0), (0, 0), (pads[0], pads[2]), (pads[1], pads[3])))
    n, c, h, wd = x.shape
    co, ci, kh, kw = w.shape
    sh, sw = strides
    oh, ow = (h - kh) // sh + 1, (wd - kw) // sw + 1
    out = np.zeros((n, co, oh, ow))
    og = co // group
    for gi in range(group):
        xs = x[:, gi * ci:(gi + 1) * ci]
        ws = w[gi * og:(gi + 1) * og].astype(np.float64)
        for i in range(kh):
            for j in range(kw):
                patch = xs[:, :, i:i + sh * (oh - 1) + 1:sh, j:j + sw * (ow - 1) + 1:sw]
                out[:, gi * og:(gi + 1) * og] += np.einsum("oc,nchw->nohw", ws[:, :, i, j], patch)
    if b is not None:
        out += b.reshape(1, -1, 1, 1)
    return out.astype(np.float32)


def _int8conv(x, w, wscale, bias, **attrs):
    lo, hi = min(float(x.min()), 0.0), max(float(x.max()), 0.0)
    scale = (hi - lo) / 255.0
    scale = scale if scale > 0 else 1.0
    zp = int(np.clip(np.rint(-lo / scale), 0, 255))
    q = np.clip(np.rint(x / np.float32(scale)) + zp, 0, 255)
    deq = ((q - zp) * scale).astype(np.float32)
    return _conv(deq, w.astype(np.float32) * wscale.reshape(-1, 1, 1, 1), bias, **attrs)


def _cubic_taps(t, a=-0.75):
    d = np.stack([t + 1, t, 1 - t, 2 - t])
    near = ((a + 2) * d - (a + 3)) * d * d + 1
    far = ((d - 5) * d + 8) * d * a - 4 * a
    return np.where(d <= 1, near, far)


def _resize_axis(x, axis, out_n, mode):
    n = x.shape[axis]
    src = (np.arange(out_n) + 0.5) * n / out_n - 0.5
    if mode == "linear":
        src = np.clip(src, 0, n - 1)
        i0 = np.floor(src).astype(int)
        t = src - i0
        idx, taps = np.stack([i0, i0 + 1]), np.stack([1 - t, t])
    else:
        i0 = np.floor(src).astype(int)
        idx, taps = np.stack([i0 - 1, i0, i0 + 1, i0 + 2]), _cubic_taps(src - i0)
    idx = np.clip(idx, 0, n - 1)
    x = np.moveaxis(x.astype(np.float64), axis, -1)
    out = sum(x[..., idx[k]] * taps[k] for k in range(len(taps)))
    return np.moveaxis(out, -1, axis)


def _resize(x, roi, scales, sizes=None, mode="nearest", **_):
    out = x
    for axis in range(x.ndim):
        target = int(sizes[axis]) if sizes is not None else int(np.floor(x.shape[axis] * scales[axis]))
        if target != x.shape[axis]:
            out = _resize_axis(out, axis, target, mode)
    return out.astype(np.float32)


def _grid_sample(x, grid, mode="bilinear", padding_mode="border", align_corners=0):
    assert (mode, padding_mode, align_corners) == ("bilinear", "border", 0)
    n, c, h, w = x.shape
    ix = np.clip((grid[..., 0].astype(np.float64) + 1) * 0.5 * w - 0.5, 0, w - 1)
    iy = np.clip((grid[..., 1].astype(np.float64) + 1) * 0.5 * h - 0.5, 0, h - 1)
    x0, y0 = np.floor(ix).astype(int), np.floor(iy).astype(int)
    x1, y1 = np.minimum(x0 + 1, w - 1), np.minimum(y0 + 1, h - 1)
    fx, fy = (ix - x0)[:, None], (iy - y0)[:, None]
    b = np.arange(n)[:, None, None]

    def at(yy, xx):
        return np.moveaxis(x[b, :, yy, xx], -1, 1)

    out = (at(y0, x0) * (1 - fx) * (1 - fy) + at(y0, x1) * fx * (1 - fy)
           + at(y1, x0) * (1 - fx) * fy + at(y1, x1) * fx * fy)
    return out.astype(np.float32)


def _slice(x, starts, ends, axes=None, steps=None):
    index = [slice(None)] * x.ndim
    for k, axis in enumerate(axes if axes is not None else range(len(starts))):
        index[axis] = slice(int(starts[k]), int(ends[k]), int(steps[k]) if steps is not None else None)
    return x[tuple(index)]


def _pad(x, pads, value=None, mode="constant"):
    r = x.ndim
    width = [(int(pads[i]), int(pads[i + r])) for i in range(r)]
    if mode == "edge":
        return np.pad(x, width, mode="edge")
    return np.pad(x, width, constant_values=0.0 if value is None else float(value))


def _softmax(x, axis=-1):
    e = np.exp(x - x.max(axis=axis, keepdims=True))
    return e / e.sum(axis=axis, keepdims=True)


OPS = {
    "Add": lambda a, b: a + b,
    "Sub": lambda a, b: a - b,
    "Mul": lambda a, b: a * b,
    "Div": lambda a, b: a / b,
    "MatMul": lambda a, b: np.matmul(a, b),
    "Floor": np.floor,
    "Log": np.log,
    "Cos": np.cos,
    "Sin": np.sin,
    "Equal": np.equal,
    "Greater": np.greater,
    "Shape": lambda x: np.array(x.shape, np.int64),
    "Cast": lambda x, to: x.astype(mapping.TENSOR_TYPE_TO_NP_TYPE[to]),
    "Tile": lambda x, repeats: np.tile(x, tuple(repeats)),
    "Abs": np.abs,
    "Neg": np.negative,
    "Exp": np.exp,
    "Squeeze": lambda x, axes: np.squeeze(x, tuple(axes)),
    "Tanh": np.tanh,
    "Relu": lambda x: np.maximum(x, 0),
    "Sigmoid": lambda x: 1 / (1 + np.exp(-x)),
    "Identity": lambda x: x,
    "Clip": lambda x, lo, hi: np.clip(x, lo, hi),
    "Concat": lambda *xs, axis: np.concatenate(xs, axis=axis),
    "Expand": lambda x, shape: np.broadcast_to(x, np.broadcast_shapes(x.shape, tuple(shape))).copy(),
    "Reshape": lambda x, shape: x.reshape(shape),
    "Transpose": lambda x, perm: np.transpose(x, perm),
    "Unsqueeze": lambda x, axes: np.expand_dims(x, tuple(axes)),
    "Gather": lambda x, idx, axis=0: np.take(x, idx, axis=axis),
    "ReduceSum": lambda x, axes, keepdims=1: np.sum(x, axis=tuple(axes), keepdims=bool(keepdims)),
    "ReduceMean": lambda x, axes, keepdims=1: np.mean(x, axis=tuple(axes), keepdims=bool(keepdims)),
    "Softmax": _softmax,
    "Slice": _slice,
    "Pad": _pad,
    "Conv": lambda x, w, b=None, kernel_shape=None, **a: _conv(x, w, b, **a),
    "Int8ConvVNNI": _int8conv,
    "Resize": _resize,
    "GridSample": _grid_sample,
    "GridSampleFast": _grid_sample,
}


def run(model, feeds):
    """Values of the graph outputs for the given input arrays (a dict by name)."""
    values = {t.name: numpy_helper.to_array(t) for t in model.graph.initializer}
    values.update(feeds)
    values[""] = None
    for node in model.graph.node:
        args = [values[i] for i in node.input]
        while args and args[-1] is None:
            args.pop()
        out = OPS[node.op_type](*args, **_attrs(node))
        out = np.asarray(out)
        values[node.output[0]] = out.astype(np.float32) if out.dtype == np.float64 else out
    return [values[o.name] for o in model.graph.output]
