"""Tests of the blend head's members: the weights file read back by Python's own unpickler, its
archive layout, and what the written-down weights do to drawn mouths when blended the way the
teeth pass blends (half-resolution candidate branch, bilinear upsampling, softmax across
candidates)."""
import collections
import io
import os
import pickle
import struct
import sys
import unittest
import zipfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import head  # noqa: E402

SKIN, LIP, DARK, TOOTH = (205, 150, 130), (165, 60, 70), (55, 20, 25), (235, 230, 220)
H, W = 48, 64  # a mouth window


def mouth(opening):
    """A drawn mouth: lips around an opening of `opening` pixels, upper teeth along its top.
    Returns the RGB bytes and the masks of the opening and of the lips' outer edge."""
    y, x = np.mgrid[0:H, 0:W] + 0.5
    cy, cx = 24, 32
    img = np.empty((H, W, 3))
    img[:] = SKIN
    outer = ((x - cx) / 26) ** 2 + ((y - cy) / (7 + opening / 2)) ** 2 <= 1
    img[outer] = LIP
    inner = ((x - cx) / 19) ** 2 + ((y - cy) / (opening / 2)) ** 2 <= 1
    img[inner] = DARK
    img[inner & (y < cy - opening / 2 + min(5, opening / 2))] = TOOTH
    return img.astype(np.uint8), inner, outer


def conv3x3(x, w, b):
    """[K, C, h, w] through a 3x3 convolution, zero padding 1."""
    windows = np.lib.stride_tricks.sliding_window_view(np.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1))), (3, 3),
                                                       axis=(2, 3))
    return np.einsum("kchwij,ocij->kohw", windows, w) + b[None, :, None, None]


def upsample(m, rows, cols):
    """Bilinear x2 with half-pixel centres, clamped at the edges, over the last two axes."""
    def axis(size, n):
        s = np.maximum((np.arange(size) + 0.5) * 0.5 - 0.5, 0)
        i0 = np.floor(s).astype(int)
        return i0, np.minimum(i0 + 1, n - 1), s - i0
    y0, y1, fy = axis(rows, m.shape[-2])
    x0, x1, fx = axis(cols, m.shape[-1])
    row = lambda yy: m[..., yy, :][..., x0] * (1 - fx) + m[..., yy, :][..., x1] * fx  # noqa: E731
    return row(y0) * (1 - fy)[:, None] + row(y1) * fy[:, None]


def pool2(a):
    """[..., H, W, 3] averaged over 2x2 blocks."""
    return a.reshape(*a.shape[:-3], a.shape[-3] // 2, 2, a.shape[-2] // 2, 2, 3).mean(axis=(-4, -2))


def blend(w, cands, frame):
    """Per-pixel candidate weights [K, H, W] and the blended window (0..1)."""
    c, f = cands / 255.0, frame / 255.0
    pc, pf = pool2(c), pool2(f)
    k = len(cands)
    x = np.concatenate([pc.transpose(0, 3, 1, 2), np.broadcast_to(pf.transpose(2, 0, 1), (k, 3) + pf.shape[:2]),
                        np.abs(pc - pf).mean(-1)[:, None]], axis=1)
    h = np.maximum(conv3x3(x, w["cand.0.weight"], w["cand.0.bias"]), 0)
    h = np.maximum(conv3x3(h, w["cand.2.weight"], w["cand.2.bias"]), 0)
    logits = upsample(conv3x3(h, w["cand.4.weight"], w["cand.4.bias"])[:, 0], H, W)
    e = np.exp(logits - logits.max(0))
    weights = e / e.sum(0)
    return weights, (weights[..., None] * c).sum(0)


def teeth(img):
    """The teeth pass's teeth pixels: luma at least 100, |G - R| under 25 (img 0..1)."""
    return (img @ np.array(head.LUMA) * 255 >= 100) & (np.abs(img[..., 1] - img[..., 0]) * 255 < 25)


def restricted_load(data):
    """The state dict of a weights file through pickle.Unpickler, allowing only the two callables
    a state dict needs; tensors come back as numpy arrays."""
    z = zipfile.ZipFile(io.BytesIO(data))
    prefix = next(n for n in z.namelist() if n.endswith("/data.pkl"))[:-len("data.pkl")]

    def rebuild(storage, offset, shape, stride, *rest):
        n = int(np.prod(shape))
        return storage[offset:offset + n].reshape(shape)

    class Unpickler(pickle.Unpickler):
        def find_class(self, module, name):
            allowed = {("collections", "OrderedDict"): collections.OrderedDict,
                       ("torch._utils", "_rebuild_tensor_v2"): rebuild, ("torch", "FloatStorage"): "float32"}
            if (module, name) not in allowed:
                raise pickle.UnpicklingError(f"{module}.{name}")
            return allowed[(module, name)]

        def persistent_load(self, pid):
            tag, kind, key, _, numel = pid
            assert tag == "storage" and kind == "float32"
            values = np.frombuffer(z.read(prefix + "data/" + key), "<f4")
            assert values.size == numel
            return values

    return Unpickler(io.BytesIO(z.read(prefix + "data.pkl"))).load()


class WeightsFile(unittest.TestCase):
    def test_reads_back_through_a_restricted_unpickler(self):
        for syn in (True, False):
            params = head.blend_head(syn)
            loaded = restricted_load(head.weights_bytes(params))
            self.assertEqual(list(loaded), [name for name, _ in (head.SHAPES if syn else head.CAND)])
            for name, value in params.items():
                np.testing.assert_array_equal(loaded[name], value, err_msg=name)
            self.assertEqual(sum(v.size for v in params.values()), 4082 if syn else 3489)

    def test_archive_of_aligned_stored_entries(self):
        data = head.weights_bytes()
        self.assertEqual(data, head.weights_bytes(), "the same bytes on every run")
        z = zipfile.ZipFile(io.BytesIO(data))
        names = z.namelist()
        self.assertEqual(names[0], "archive/data.pkl")
        self.assertEqual(names[-1], "archive/version")
        self.assertEqual(z.read("archive/version"), b"3\n")
        for info in z.infolist():
            self.assertEqual(info.compress_type, zipfile.ZIP_STORED, info.filename)
            if "/data/" in info.filename:
                n, e = struct.unpack_from("<HH", data, info.header_offset + 26)
                self.assertEqual((info.header_offset + 30 + n + e) % head.ALIGN, 0, info.filename)


class Blend(unittest.TestCase):
    """Donor mouths opened 3..20 pixels blended for frames between them: the result follows the
    frame about as closely as the nearest donor and far better than the donors' plain average, no
    donor's teeth land on the frame's lips, and the weights change gradually across the window
    (a hard switch between donors, a seam, would be a step of 1 between neighbouring pixels)."""

    OPENINGS = (3, 7, 12, 16, 20)

    @classmethod
    def setUpClass(cls):
        cls.w = {k: v.astype(np.float64) for k, v in head.blend_head().items()}
        cls.cands = np.stack([mouth(o)[0] for o in cls.OPENINGS])

    def test_teeth_inside_the_lips_without_a_seam(self):
        for opening in (5, 9, 14, 17):
            frame, inner, outer = mouth(opening)
            weights, out = blend(self.w, self.cands, frame)
            f = frame / 255.0

            def err(img):
                return np.abs(img - f).mean(-1)[outer].mean()
            nearest = min(err(c / 255.0) for c in self.cands)
            self.assertLess(err(out), 1.5 * nearest, f"opening {opening}")
            self.assertLess(err(out), 0.5 * err(self.cands.mean(0) / 255.0), f"opening {opening}")
            self.assertEqual(int((teeth(out) & ~inner).sum()), 0, f"opening {opening}: teeth on the lips")
            self.assertGreater(int((teeth(out) & inner).sum()), 0, f"opening {opening}: no teeth")
            step = max(np.abs(np.diff(weights, axis=1)).max(), np.abs(np.diff(weights, axis=2)).max())
            self.assertLess(step, 0.4, f"opening {opening}: weights jump between neighbouring pixels")

    def test_an_exact_donor_gives_the_frame_back(self):
        frame, _, outer = mouth(12)
        _, out = blend(self.w, self.cands, frame)
        self.assertLess(np.abs(out - frame / 255.0).mean(-1)[outer].mean(), 0.01)

    def test_synthesis_branch_marks_teeth(self):
        frame, inner, outer = mouth(14)
        x = (frame / 255.0).transpose(2, 0, 1)[None]
        h = np.maximum(conv3x3(x, self.w["syn.0.weight"], self.w["syn.0.bias"]), 0)
        logit = conv3x3(h, self.w["syn.2.weight"], self.w["syn.2.bias"])[0, 0]
        core = teeth(frame / 255.0)
        core[1:] &= core[:-1]  # away from the teeth's edges, where the 3x3 sum mixes
        core[:-1] &= core[1:]
        self.assertGreater(logit[core].min(), 0)
        self.assertLess(logit[~teeth(frame / 255.0)].max(), 0)


if __name__ == "__main__":
    unittest.main()
