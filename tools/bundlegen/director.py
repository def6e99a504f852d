"""The director graph of a generated bundle ("model_{key}.onnx"), written with onnx's helper API.

A standard director reads pooled64 [B, 64, 32, 32], P_rgb [B, 3, crop, crop],
kp_driving and kp_source [B, rows, 3] and writes rgb [B, 3, crop, crop]:

1. Source cone: the second differences of the source (d2/dx2, d2/dy2 and
   d4/dx2dy2, three depthwise 3x3 convolutions over an edge-padded P_rgb),
   concatenated after P_rgb itself: the 12-channel boundary.
2. Sampling grid: every point of a grid a quarter of the crop a side (at least 64) moves by a softmax-weighted
   mix of the keypoint displacements (source - driving), weighted by its
   distance to each driving keypoint; an anchor term with no displacement keeps
   points far from every keypoint (the room) where they are.  The field is
   resized to crop x crop and added to the pixel centres: a backward map, so
   the pixel at a driving keypoint shows the source at the matching source
   keypoint.
3. Warp: one bilinear, border, align_corners=0 GridSample of the boundary,
   recombined by Slice/Mul/Sub/Add into the source sampled with a quadratic
   correction, (A - cx Dxx - cy Dyy) + cx cy Dxxyy with c = t (1 - t) / 2 of the
   sampling position's fraction t: bilinear sampling without its blur.
4. Decoder over the warped source and the pooled features, ending in a Conv,
   a cubic x2 Resize and the channel blend MatMul "/s2/blend": a small colour
   correction and an alpha term.
5. Compose: rgb = decoded x alpha + (1 - alpha) x warped, alpha a Clip of an
   over-covering ellipse around the driving mouth.

Variants: FeatSynth (warps fs_red [B, 64, 64, 64] and decodes it; inputs
fs_red, pooled, kd, ks), GridSampleFast baked in, one decoder convolution as
Int8ConvVNNI, fail_kp (the standard rgb, but the run fails in the runtime while
kp_driving[0, 0, 0] > FAIL_ABOVE: see fail_guard), fail_prgb (the same inside the
source cone, while P_rgb[0, 0, 0, 0] > FAIL_ABOVE), the BROKEN_WARP_KINDS (the
decoder also reads the source side of the warp: see encoder_input), any batch (or a symbolic one) and any keypoint row count (or a
symbolic one).  Weights come from a fixed seed: every bundle of one crop
carries the same director.
"""
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
FAST_DOMAIN = "com.corvamel"
INT8_DOMAIN = "com.corvamel.int8"
# kinds that each break one pattern the engine's warp rewrite and source-cone hoist look for
BROKEN_WARP_KINDS = ("two_concats", "cone_escape", "prgb_escape", "boundary_escape", "two_gridsamples")
# kinds that break the patterns of the head and compose rewrites
BROKEN_HEAD_KINDS = ("two_cubics", "lip_input")
KINDS = ("standard", "featsynth", "baked", "int8", "fail_kp", "fail_prgb", *BROKEN_WARP_KINDS, *BROKEN_HEAD_KINDS)
KP_POINTS = 21      # keypoint rows that carry a position (a 22nd row is the width row)
REACH = 0.12        # distance (crop half-sides) over which a keypoint carries its neighbourhood
ANCHOR = -2.0       # logit of the zero displacement: a keypoint at distance 2 x REACH weighs as much
# (upper, lower) keypoint rows of the eye lids and the inner lips, and their windows (x, y reach)
OPENINGS = ((8, 9), (11, 13), (19, 20))
OPENING_WINDOWS = {(8, 9): (0.12, 0.09), (11, 13): (0.12, 0.09), (19, 20): (0.2, 0.08)}
OPENING_SOFTNESS = 0.002
MOUTH_ROWS = (6, 12, 14, 17)
MOUTH_RADII = (0.34, 0.22)
WEIGHT_SEED = 20240917
FAIL_ABOVE = 100.0  # fail_kp: kp_driving[0, 0, 0] over this fails the run (real keypoints stay within -1..1)


class Graph:
    """Nodes and initializers of one graph under construction."""

    def __init__(self):
        self.nodes, self.inits = [], []
        self.rng = np.random.default_rng(WEIGHT_SEED)
        self.consts = {}

    def const(self, value, dtype=np.float32):
        """Initializer holding value (shared between equal small constants)."""
        a = np.asarray(value, dtype=dtype)
        key = (a.dtype.str, a.shape, a.tobytes())
        if key not in self.consts:
            name = f"/const/{len(self.consts)}"
            self.inits.append(numpy_helper.from_array(a, name))
            self.consts[key] = name
        return self.consts[key]

    def weight(self, name, array):
        self.inits.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        return name

    def output(self, x, name):
        """Names the value x as the graph output name."""
        self.nodes.append(helper.make_node("Identity", [x], [name], name=f"/output/{name}"))

    def op(self, op_type, inputs, name, domain=None, **attrs):
        out = f"{name}_out"
        self.nodes.append(helper.make_node(op_type, list(inputs), [out], name=name, domain=domain, **attrs))
        return out

    def ints(self, *values):
        return self.const(values, np.int64)

    def slice(self, x, axis, start, end, name):
        return self.op("Slice", [x, self.ints(start), self.ints(end), self.ints(axis)], name)

    def resize(self, x, scale, name, mode="linear"):
        """Resize the two spatial axes by scale (half_pixel, as exported graphs do)."""
        scales = self.const([1.0, 1.0, scale, scale])
        return self.op("Resize", [x, "", scales], name, mode=mode, coordinate_transformation_mode="half_pixel")

    def conv(self, x, cin, cout, k, name, stride=1, relu=True, int8=False):
        """Seeded He-initialised convolution (padding keeps the size at stride 1)."""
        w = self.rng.standard_normal((cout, cin, k, k)).astype(np.float32) * np.float32(np.sqrt(2.0 / (cin * k * k)))
        b = (self.rng.standard_normal(cout) * 0.05).astype(np.float32)
        pad = (k - 1) // 2 if stride == 1 else 0
        if int8:
            scale = (np.abs(w).reshape(cout, -1).max(axis=1) / 127.0).astype(np.float32)
            q = np.clip(np.rint(w / scale[:, None, None, None]), -127, 127).astype(np.int8)
            y = self.op("Int8ConvVNNI", [x, self.weight(f"{name}.weight_int8", q), self.weight(f"{name}.wscale", scale),
                                         self.weight(f"{name}.bias", b)], name, domain=INT8_DOMAIN,
                        strides=[stride, stride], pads=[pad] * 4, dilations=[1, 1], group=1)
        else:
            y = self.op("Conv", [x, self.weight(f"{name}.weight", w), self.weight(f"{name}.bias", b)], name,
                        kernel_shape=[k, k], strides=[stride, stride], pads=[pad] * 4)
        return self.op("Relu", [y], f"{name}/relu") if relu else y


def _pixel_centres(n):
    """Normalised x of the pixel centres of an n-pixel axis (align_corners=0)."""
    return ((2.0 * np.arange(n) + 1.0) / n - 1.0).astype(np.float32)


def identity_grid(g, size):
    """[1, 2, size, size]: x and y of every pixel centre."""
    c = _pixel_centres(size)
    shape = g.ints(1, 1, size, size)
    x = g.op("Expand", [g.const(c.reshape(1, 1, 1, size)), shape], "/grid/ident_x")
    y = g.op("Expand", [g.const(c.reshape(1, 1, size, 1)), shape], "/grid/ident_y")
    return g.op("Concat", [x, y], "/grid/ident", axis=1)


def keypoint_xy(g, kp, name):
    """[B, <=21, 2]: positions of the keypoint rows (a width row is dropped)."""
    return g.op("Slice", [kp, g.ints(0, 0), g.ints(KP_POINTS, 2), g.ints(1, 2)], name)


def openings(g, kd_xy, ks_xy, points, rows):
    """[B, N, 2]: the vertical motion that opens or closes the eyes and the mouth.

    The smooth keypoint mix cannot close an eye: its two lids sit a few
    hundredths apart and their opposite motions cancel.  For each (upper,
    lower) pair, the points above the driving midline take the upper lid's
    extra motion and the points below the lower one's, through a tanh step as
    wide as the driving opening, inside a window around the pair.  points is
    the field points' x and y, each [1, N, 1].
    """
    pairs = [p for p in OPENINGS if rows is None or max(p) < rows]
    if not pairs:
        return None
    up, low = [p[0] for p in pairs], [p[1] for p in pairs]
    n = len(pairs)

    def pair_points(kp, idx, name):
        return g.op("Gather", [kp, g.ints(*idx)], name, axis=1)

    def height(kp, name):
        top, bottom = pair_points(kp, up, f"{name}_upper"), pair_points(kp, low, f"{name}_lower")
        h = g.slice(g.op("Sub", [bottom, top], f"{name}_span"), 2, 1, 2, f"{name}_height")
        return top, bottom, g.op("Reshape", [h, g.ints(-1, 1, n)], f"{name}_heights")

    d_top, d_bottom, hd = height(kd_xy, "/grid/open_d")
    _, _, hs = height(ks_xy, "/grid/open_s")
    amp = g.op("Mul", [g.op("Sub", [hs, hd], "/grid/open_change"), g.const(0.5)], "/grid/open_amp")
    mid = g.op("Mul", [g.op("Add", [d_top, d_bottom], "/grid/open_sum"), g.const(0.5)], "/grid/open_mid")
    mid_x, mid_y = keypoint_axes(g, mid, "/grid/open_mid")
    windows = np.array([OPENING_WINDOWS[p] for p in pairs], np.float32)
    rel_x = g.op("Sub", [points[0], mid_x], "/grid/open_rel_x")
    rel_y = g.op("Sub", [points[1], mid_y], "/grid/open_rel_y")
    sx = g.op("Div", [rel_x, g.const(windows[:, 0].reshape(1, 1, n))], "/grid/open_rel_x_scaled")
    sy = g.op("Div", [rel_y, g.const(windows[:, 1].reshape(1, 1, n))], "/grid/open_rel_y_scaled")
    d2 = g.op("Add", [g.op("Mul", [sx, sx], "/grid/open_sq_x"), g.op("Mul", [sy, sy], "/grid/open_sq_y")],
              "/grid/open_d2")
    window = g.op("Exp", [g.op("Neg", [d2], "/grid/open_neg")], "/grid/open_window")
    soft = g.op("Add", [g.op("Mul", [g.op("Abs", [hd], "/grid/open_abs"), g.const(0.5)], "/grid/open_half"),
                        g.const(OPENING_SOFTNESS)], "/grid/open_soft")
    step = g.op("Tanh", [g.op("Div", [rel_y, soft], "/grid/open_ratio")], "/grid/open_step")
    dy = g.op("Mul", [g.op("Mul", [window, step], "/grid/open_weighted"), amp], "/grid/open_dy")
    dy = g.op("ReduceSum", [dy, g.ints(2)], "/grid/open_dy_sum", keepdims=1)
    return g.op("Pad", [dy, g.ints(0, 0, 1, 0, 0, 0)], "/grid/open_field", mode="constant")


def keypoint_axes(g, xy, name):
    """x and y of keypoints [B, K, 2] as two [B, 1, K] rows."""
    return tuple(g.op("Transpose", [g.slice(xy, 2, i, i + 1, f"{name}_{a}")], f"{name}_{a}_row", perm=[0, 2, 1])
                 for i, a in enumerate("xy"))


def sampling_grid(g, kd_xy, ks_xy, ident, size, rows):
    """The backward map as [B, 2, size, size] positions and as a GridSample grid [B, size, size, 2].

    ident is the identity_grid of size; the field is computed on a grid of a
    quarter of the side, at least 64 points (fine enough for the eye lids), and resized.
    """
    side = max(size // 4, min(size, 64))
    c = _pixel_centres(side)
    xx, yy = np.meshgrid(c, c)
    # x and y kept apart, [1, N, 1] points against [B, 1, K] keypoints: each
    # difference is then a row broadcast against a column.
    points = (g.const(xx.reshape(1, side * side, 1)), g.const(yy.reshape(1, side * side, 1)))
    kd_x, kd_y = keypoint_axes(g, kd_xy, "/grid/kd")
    dx = g.op("Sub", [points[0], kd_x], "/grid/diff_x")
    dy = g.op("Sub", [points[1], kd_y], "/grid/diff_y")
    d2 = g.op("Add", [g.op("Mul", [dx, dx], "/grid/diff_sq_x"), g.op("Mul", [dy, dy], "/grid/diff_sq_y")],
              "/grid/dist2")
    logits = g.op("Mul", [d2, g.const(-1.0 / (2.0 * REACH * REACH))], "/grid/logits")
    with_anchor = g.op("Pad", [logits, g.ints(0, 0, 0, 0, 0, 1), g.const(ANCHOR)], "/grid/anchor", mode="constant")
    weights = g.op("Softmax", [with_anchor], "/grid/softmax", axis=-1)
    wk = g.slice(weights, 2, 0, -1, "/grid/keypoint_weights")
    motion = g.op("Sub", [ks_xy, kd_xy], "/grid/motion")
    field = g.op("MatMul", [wk, motion], "/grid/field")
    extra = openings(g, kd_xy, ks_xy, points, rows)
    if extra:
        field = g.op("Add", [field, extra], "/grid/field_open")
    field = g.op("Reshape", [field, g.ints(-1, side, side, 2)], "/grid/field_2d")
    field = g.op("Transpose", [field], "/grid/field_nchw", perm=[0, 3, 1, 2])
    field = g.resize(field, size / side, "/grid/field_up")
    pos = g.op("Add", [field, ident], "/grid/position")
    return pos, g.op("Transpose", [pos], "/grid/grid", perm=[0, 2, 3, 1])


def source_cone(g, fail=False):
    """P_rgb and its second differences: the 12-channel boundary.  fail: the cone's run fails while
    P_rgb[0, 0, 0, 0] > FAIL_ABOVE (fail_prgb)."""
    source = fail_guard(g, "P_rgb", "P_rgb", 4, "/cone/fail") if fail else "P_rgb"
    padded = g.op("Pad", [source, g.ints(0, 0, 1, 1, 0, 0, 1, 1)], "/cone/pad", mode="edge")
    d = np.array([1.0, -2.0, 1.0], np.float32)
    kernels = {"dxx": np.outer([0, 1, 0], d), "dyy": np.outer(d, [0, 1, 0]), "dxxyy": np.outer(d, d)}
    feats = []
    for name, k in kernels.items():
        w = g.weight(f"/cone/{name}.weight", np.repeat(k.astype(np.float32)[None, None], 3, axis=0))
        feats.append(g.op("Conv", [padded, w], f"/cone/{name}", kernel_shape=[3, 3], group=3))
    return g.op("Concat", ["P_rgb", *feats], "/cone/boundary", axis=1)


def warp(g, boundary, pos, grid, size, baked):
    """GridSample of the boundary, recombined with the quadratic correction; clipped to 0..1."""
    attrs = dict(mode="bilinear", padding_mode="border", align_corners=0)
    if baked:
        gs = g.op("GridSampleFast", [boundary, grid], "/warp/grid_sample", domain=FAST_DOMAIN, **attrs)
    else:
        gs = g.op("GridSample", [boundary, grid], "/warp/grid_sample", **attrs)
    # correction weights from the fraction of each sampling position, computed beside the warp
    one = g.const(1.0)
    ix = g.op("Sub", [g.op("Mul", [g.op("Add", [pos, one], "/warp/pos_plus1"), g.const(size / 2.0)],
                           "/warp/pos_scaled"), g.const(0.5)], "/warp/pixel")
    frac = g.op("Sub", [ix, g.op("Floor", [ix], "/warp/floor")], "/warp/frac")
    c = g.op("Mul", [g.op("Mul", [g.op("Sub", [one, frac], "/warp/one_minus_frac"), frac], "/warp/frac_prod"),
                     g.const(0.5)], "/warp/coef")
    cx, cy = g.slice(c, 1, 0, 1, "/warp/coef_x"), g.slice(c, 1, 1, 2, "/warp/coef_y")
    cxy = g.op("Mul", [cx, cy], "/warp/coef_xy")
    a, dxx, dyy, dxxyy = (g.slice(gs, 1, 3 * i, 3 * i + 3, f"/warp/{n}")
                          for i, n in enumerate(("value", "dxx", "dyy", "dxxyy")))
    s = g.op("Sub", [a, g.op("Mul", [dxx, cx], "/warp/corr_x")], "/warp/sub_x")
    s = g.op("Sub", [s, g.op("Mul", [dyy, cy], "/warp/corr_y")], "/warp/sub_y")
    warped = g.op("Add", [s, g.op("Mul", [dxxyy, cxy], "/warp/corr_xy")], "/warp/warped")
    return g.op("Clip", [warped, g.const(0.0), one], "/warp/clip")


def encoder_input(g, kind, warped, boundary, grid):
    """(value, channels) the decoder encodes: the warped source, or for a BROKEN_WARP_KINDS kind the warped
    source with one more read of the warp's source side, which keeps the warp block in the graph."""
    if kind == "two_concats":       # a second Concat reading P_rgb
        return g.op("Concat", [warped, "P_rgb"], "/dec/with_source", axis=1), 6
    if kind == "prgb_escape":       # P_rgb read outside the source cone
        return g.op("Add", [warped, "P_rgb"], "/dec/with_source"), 3
    if kind == "cone_escape":       # a value inside the cone (source_cone's d2/dx2) read outside it
        return g.op("Add", [warped, "/cone/dxx_out"], "/dec/with_dxx"), 3
    if kind == "boundary_escape":   # the boundary read by another node than its GridSample
        return g.op("Add", [warped, g.slice(boundary, 1, 0, 3, "/dec/boundary_source")], "/dec/with_source"), 3
    if kind == "two_gridsamples":   # the boundary sampled twice
        again = g.op("GridSample", [boundary, grid], "/dec/grid_sample", mode="bilinear", padding_mode="border",
                     align_corners=0)
        return g.op("Add", [warped, g.slice(again, 1, 0, 3, "/dec/resampled")], "/dec/with_resampled"), 3
    return warped, 3


def decoder(g, source, size, int8, two_cubics=False):
    """Colour correction and alpha term [B, 4, size, size] from the encoder_input source (value, channels)
    and pooled64.  two_cubics adds a second head branch with its own cubic x2 Resize."""
    x, cin = source
    e = g.conv(x, cin, 16, 4, "/dec/enc", stride=4)
    p = g.conv("pooled64", 64, 16, 1, "/dec/pooled")
    p = g.resize(p, size / 128.0, "/dec/pooled_up")
    h = g.conv(g.op("Concat", [e, p], "/dec/cat", axis=1), 32, 16, 3, "/dec/mix", int8=int8)
    h = g.resize(h, 2.0, "/dec/up")
    head = g.conv(h, 16, 8, 3, "/s2/head", relu=False)
    h = g.resize(head, 2.0, "/s2/head_up", mode="cubic")
    if two_cubics:
        second = g.resize(g.conv(head, 8, 8, 1, "/s2/head2", relu=False), 2.0, "/s2/head2_up", mode="cubic")
        h = g.op("Add", [h, g.op("Mul", [second, g.const(0.25)], "/s2/head2_scaled")], "/s2/heads")
    h = g.op("Reshape", [g.op("Transpose", [h], "/s2/to_rows", perm=[0, 2, 3, 1]), g.ints(-1, 8)], "/s2/rows")
    blend = (g.rng.standard_normal((8, 4)) * 0.35).astype(np.float32)
    h = g.op("MatMul", [h, g.weight("/s2/blend.weight", blend)], "/s2/blend")
    h = g.op("Reshape", [h, g.ints(-1, size, size, 4)], "/s2/from_rows")
    return g.op("Transpose", [h], "/s2/out", perm=[0, 3, 1, 2])


def compose(g, warped, head, kd_xy, ident, lip_input=False):
    one = g.const(1.0)
    delta = g.op("Mul", [g.op("Tanh", [g.slice(head, 1, 0, 3, "/compose/delta")], "/compose/tanh"),
                         g.const(0.02)], "/compose/delta_scaled")
    decoded = g.op("Clip", [g.op("Add", [warped, delta], "/compose/corrected"), g.const(0.0), one],
                   "/compose/decoded")
    mouth = g.op("Gather", [kd_xy, g.ints(*MOUTH_ROWS)], "/compose/mouth_points", axis=1)
    centre = g.op("ReduceMean", [mouth], "/compose/mouth_centre", axes=[1], keepdims=1)
    centre = g.op("Reshape", [centre, g.ints(-1, 2, 1, 1)], "/compose/mouth_centre_nchw")
    rel = g.op("Div", [g.op("Sub", [ident, centre], "/compose/rel"),
                       g.const(np.reshape(MOUTH_RADII, (1, 2, 1, 1)))], "/compose/rel_scaled")
    r2 = g.op("ReduceSum", [g.op("Mul", [rel, rel], "/compose/rel_sq"), g.ints(1)], "/compose/r2", keepdims=1)
    inside = g.op("Mul", [g.op("Sub", [one, r2], "/compose/inside"), g.const(4.0)], "/compose/ellipse")
    term = g.op("Mul", [g.slice(head, 1, 3, 4, "/compose/alpha_term"), g.const(0.1)], "/compose/alpha_term_scaled")
    alpha = g.op("Clip", [g.op("Add", [inside, term], "/compose/alpha_pre"), g.const(0.0), one], "/compose/alpha")
    if lip_input:  # a graph that already reads a lip mask (ones by default, an initializer of the input's name)
        alpha = g.op("Min", [alpha, "lip_delivery"], "/compose/lip_min")
    a = g.op("Mul", [decoded, alpha], "/compose/fg")
    b = g.op("Mul", [g.op("Sub", [one, alpha], "/compose/one_minus_alpha"), warped], "/compose/bg")
    return g.op("Add", [a, b], "/compose/rgb")


def fail_guard(g, x, probe, rank, name, out=None):
    """x reshaped to its own shape, or to one more column when probe[0, ..., 0] (probe of the given rank)
    is over FAIL_ABOVE.

    The element count then no longer matches and the runtime's Reshape throws
    from the run: a real failure that a test triggers from an input alone, with
    the standard values on every other run.
    """
    zeros, ones = g.ints(*[0] * rank), g.ints(*[1] * rank)
    first = g.op("Slice", [probe, zeros, ones, g.ints(*range(rank))], f"{name}/first")
    over = g.op("Greater", [g.op("Reshape", [first, g.ints(1)], f"{name}/first_1"), g.const(FAIL_ABOVE)],
                f"{name}/over")
    extra = g.op("Concat", [g.ints(0, 0, 0), g.op("Cast", [over], f"{name}/extra", to=TensorProto.INT64)],
                 f"{name}/extra_4", axis=0)
    shape = g.op("Add", [g.op("Shape", [x], f"{name}/shape"), extra], f"{name}/target")
    if out:
        g.nodes.append(helper.make_node("Reshape", [x, shape], [out], name=f"{name}/output"))
        return out
    return g.op("Reshape", [x, shape], f"{name}/output")


def featsynth(g, crop, rows):
    """Warps fs_red with the keypoint grid and decodes it with the pooled features to rgb."""
    kd_xy, ks_xy = keypoint_xy(g, "kd", "/grid/kd_xy"), keypoint_xy(g, "ks", "/grid/ks_xy")
    _, grid = sampling_grid(g, kd_xy, ks_xy, identity_grid(g, 64), 64, rows)
    warped = g.op("GridSample", ["fs_red", grid], "/warp/grid_sample", mode="bilinear", padding_mode="border",
                  align_corners=0)
    p = g.resize("pooled", 2.0, "/dec/pooled_up")
    h = g.conv(g.op("Concat", [warped, p], "/dec/cat", axis=1), 128, 16, 3, "/dec/mix")
    h = g.conv(h, 16, 3, 3, "/dec/head", relu=False)
    h = g.resize(h, crop / 64.0, "/dec/up")
    g.nodes.append(helper.make_node("Sigmoid", [h], ["rgb"], name="/output"))


def standard(g, crop, kind, rows):
    kd_xy = keypoint_xy(g, "kp_driving", "/grid/kd_xy")
    ident = identity_grid(g, crop)
    pos, grid = sampling_grid(g, kd_xy, keypoint_xy(g, "kp_source", "/grid/ks_xy"), ident, crop, rows)
    boundary = source_cone(g, kind == "fail_prgb")
    warped = warp(g, boundary, pos, grid, crop, kind == "baked")
    head = decoder(g, encoder_input(g, kind, warped, boundary, grid), crop, kind == "int8", kind == "two_cubics")
    rgb = compose(g, warped, head, kd_xy, ident, kind == "lip_input")
    if kind == "fail_kp":
        fail_guard(g, rgb, "kp_driving", 3, "/fail", out="rgb")
    else:
        g.nodes.append(helper.make_node("Identity", [rgb], ["rgb"], name="/output"))


def build(crop, batch=1, kind="standard", kp_rows=KP_POINTS):
    """The director ModelProto.  batch or kp_rows None declares that dimension symbolic."""
    if kind not in KINDS:
        raise ValueError(f"unknown director kind {kind}")
    if crop < 4 or crop % 4:
        raise ValueError(f"director: crop {crop} is not a positive multiple of 4")
    b = batch if batch is not None else "batch"
    rows = kp_rows if kp_rows is not None else "kp_rows"

    def tensor(name, *dims):
        return helper.make_tensor_value_info(name, TensorProto.FLOAT, [b, *dims])

    g = Graph()
    if kind == "featsynth":
        inputs = [tensor("fs_red", 64, 64, 64), tensor("pooled", 64, 32, 32), tensor("kd", rows, 3),
                  tensor("ks", rows, 3)]
        featsynth(g, crop, kp_rows)
    else:
        inputs = [tensor("pooled64", 64, 32, 32), tensor("P_rgb", 3, crop, crop), tensor("kp_driving", rows, 3),
                  tensor("kp_source", rows, 3)]
        standard(g, crop, kind, kp_rows)
        if kind == "lip_input":
            inputs.append(tensor("lip_delivery", 1, crop, crop))
            g.weight("lip_delivery", np.ones((batch or 1, 1, crop, crop), np.float32))
    graph = helper.make_graph(g.nodes, "director", inputs, [tensor("rgb", 3, crop, crop)], g.inits)
    imports = [helper.make_opsetid("", OPSET)]
    if kind == "baked":
        imports.append(helper.make_opsetid(FAST_DOMAIN, 1))
    if kind == "int8":
        imports.append(helper.make_opsetid(INT8_DOMAIN, 1))
    return helper.make_model(graph, opset_imports=imports, producer_name="bundlegen", producer_version="1")


def warp_block(crop):
    """The warp block alone, for measuring what the engine's WarpDirector replaces: P_rgb [1, 3, crop, crop]
    and the sampling positions pos [1, 2, crop, crop] in, the clipped warped source "warped" out."""
    g = Graph()
    grid = g.op("Transpose", ["pos"], "/grid/grid", perm=[0, 2, 3, 1])
    g.output(warp(g, source_cone(g), "pos", grid, crop, False), "warped")
    image = [helper.make_tensor_value_info(n, TensorProto.FLOAT, [1, c, crop, crop]) for n, c in (("P_rgb", 3),
                                                                                                  ("pos", 2))]
    graph = helper.make_graph(g.nodes, "warp_block", image,
                              [helper.make_tensor_value_info("warped", TensorProto.FLOAT, [1, 3, crop, crop])],
                              g.inits)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="bundlegen",
                             producer_version="1")


def serialize(crop, batch=1, kind="standard", kp_rows=KP_POINTS):
    return build(crop, batch, kind, kp_rows).SerializeToString()


def model_flops(model):
    """Multiply-adds x 2 of the Conv, Int8ConvVNNI and MatMul nodes for one run (shapes inferred)."""
    inferred = onnx.shape_inference.infer_shapes(model)
    shapes = {v.name: [d.dim_value for d in v.type.tensor_type.shape.dim]
              for v in (*inferred.graph.value_info, *inferred.graph.input, *inferred.graph.output)}
    shapes.update({t.name: list(t.dims) for t in model.graph.initializer})
    total = 0
    for n in model.graph.node:
        if n.op_type in ("Conv", "Int8ConvVNNI"):
            w = shapes[n.input[1]]
            total += 2 * int(np.prod(shapes[n.output[0]])) * int(np.prod(w[1:]))
        elif n.op_type == "MatMul":
            total += 2 * int(np.prod(shapes[n.output[0]])) * shapes[n.input[0]][-1]
    return total
