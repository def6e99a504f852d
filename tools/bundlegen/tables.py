"""Member names and the headerless per-frame tables of a bundle.

Director graphs are "model_{key}.onnx"; a batched one, "model_b{N}[_{tail}].onnx",
is canonically "render_model.batch{N}[.{tail}].onnx".

All tables are little-endian arrays, frame after frame, at exact sizes:
pooled features NT x 65536 halves, fs_red NT x 262144 halves, M NT x 6
float32, the raw prior NT x 3 planes x crop x crop halves (value / 255), the
paste mask crop x crop bytes, the idle loop si (int32), xs and xd
(frames x 63 float32), and the template keypoints NT x 63 float32.
"""
import numpy as np

POOLED_ELEMS = 65536
FSRED_ELEMS = 262144

# older name -> canonical name (the engine accepts both)
CANONICAL = {
    "P.f16": "source_frames.f16",
    "P_hevc.mov": "source_frames.hevc",
    "M.f32": "paste_transform.f32",
    "mask_512.u8": "paste_mask.u8",
    "pooled64.f16": "pooled_features.f16",
    "fs_red.f16": "feature_synth.f16",
    "xs_target.bin": "target_keypoints.bin",
    "drive/xs.f32": "idle_loop/source_keypoints.f32",
    "drive/xd.f32": "idle_loop/driven_keypoints.f32",
    "drive/si.i32": "idle_loop/source_index.i32",
}
OLDER = {v: k for k, v in CANONICAL.items()}


def member_name(older, canonical_names):
    """File name of a member given by its older name, in the chosen naming."""
    if not canonical_names:
        return older
    if older.startswith("model_b") and older.endswith(".onnx") and len(older) > len("model_b.onnx"):
        # batched directors: model_b24_fp32.onnx -> render_model.batch24.fp32.onnx
        head, _, tail = older[len("model_b"):-len(".onnx")].partition("_")
        return f"render_model.batch{head}{'.' + tail if tail else ''}.onnx"
    return CANONICAL.get(older, older)


def older_name(name):
    """The older name of a member given by either of its names."""
    return OLDER.get(name, name)


def half_table():
    """Byte value i -> the half nearest to i / 255, as the engine's table."""
    return (np.arange(256, dtype=np.float32) / np.float32(255.0)).astype("<f2")


def prior_frame(rgb, table=half_table()):
    """crop x crop x 3 uint8 -> three planes of halves (R, G, B), bytes."""
    return table[np.moveaxis(rgb, -1, 0)].tobytes()


def features(nt, elems, seed, stream):
    """Seeded per-frame feature tensors: a fixed identity vector plus a small drift."""
    rng = np.random.default_rng([seed, stream])
    base = rng.standard_normal(elems, dtype=np.float32) * np.float32(0.5)
    out = np.empty((nt, elems), dtype="<f2")
    for i in range(nt):
        out[i] = base + rng.standard_normal(elems, dtype=np.float32) * np.float32(0.05)
    return out.tobytes()


def paste_mask(crop):
    """Feathered ellipse over the face: 255 inside, falling to 0 over ~8% of the crop."""
    n = crop
    y, x = np.meshgrid((np.arange(n) + 0.5) / n * 2 - 1, (np.arange(n) + 0.5) / n * 2 - 1, indexing="ij")
    r = np.sqrt((x / 0.78) ** 2 + ((y - 0.04) / 0.9) ** 2)
    t = np.clip((1.0 - r) / 0.16, 0.0, 1.0)
    return np.rint(255.0 * t * t * (3 - 2 * t)).astype(np.uint8).tobytes()


def f32(a):
    return np.ascontiguousarray(a, dtype="<f4").tobytes()


def i32(a):
    return np.ascontiguousarray(a, dtype="<i4").tobytes()
