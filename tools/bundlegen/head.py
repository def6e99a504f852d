"""The mouth borrow's blend head: the weights member "tessera_head.v1.pt" and
the serve config "tessera_head.v1.json" (schema tessera_head.v1).

The weights file has the layout PyTorch's `torch.save` writes (torch is not
needed to write it): a ZIP archive of stored entries, `<prefix>/data.pkl` (a
protocol-2 pickle of an OrderedDict of tensors, each rebuilt by
torch._utils._rebuild_tensor_v2 from a storage named by a persistent id),
`<prefix>/data/<key>` (each storage's little-endian float32 values, aligned to
64 bytes in the file) and `<prefix>/version`. It is built here with Python's
own zipfile and pickle; the two torch names the pickle refers to are
stand-ins, registered only while the pickle is written.

The head is BlendHead(16): per candidate donor the pass feeds the `cand`
branch seven half-resolution planes (candidate R, G, B; frame R, G, B; the
mean over channels of |candidate - frame|), 3x3 convolutions 7 -> 16 -> 16 ->
1 with ReLUs between, and takes a softmax of the logit maps across the
candidates per pixel. The weights are not trained but written down:

- cand.0 measures how badly a candidate fits the frame at each point: channel
  0 the colour mismatch (the difference plane), channels 1-4 the two signs of
  the vertical and horizontal luma-gradient mismatch (Sobel of candidate luma
  minus frame luma; the ReLU pair is the absolute value). The gradient terms
  are what place a donor's teeth inside the frame's lips: a donor whose
  lip/teeth edges sit on other rows pays on both edges even where its colours
  happen to be close.
- cand.2 sums them (edges weighted EDGE_WEIGHT) under a 3x3 box, cand.4
  smooths again and scales by -BETA: the logit is minus the local mismatch
  over a 7x7 half-resolution neighbourhood (14 pixels of the window). Because
  the cost is smoothed, the weights change gradually across the window and
  donors hand over without a seam; where donors fit equally they are
  averaged, which also averages their noise away. BETA = 24: a donor whose
  local mismatch is 0.1 (about 25 levels) worse than another's gets e^-2.4,
  about 1/11, of the weight. Sharper heads fit the frame a little closer but
  let a neighbouring donor's teeth through onto the frame's lips, and their
  weights switch faster across the window (test_head.py measures both).
- The synthesis branch `syn` (3 -> 16 -> 1 on a window's R, G, B) is a teeth
  detector following the pass's teeth rule: positive on bright, neutral
  pixels (luma over 100/255, |G - R| under 25/255), negative on lips and the
  dark interior. The pass holds its synthesis weight at 0, so this branch is
  carried for the BlendHead(16) layout and not blended with.

Unused channels and every bias of cand are zero (a constant logit would not
change the softmax).
"""
import collections
import contextlib
import io
import json
import os
import pickle
import struct
import sys
import types
import zipfile

import numpy as np

WEIGHTS = "tessera_head.v1.pt"
CONFIG = "tessera_head.v1.json"
SCHEMA = "tessera_head.v1"
PREFIX = "archive"
# (name, shape) of every parameter in state-dict order; the first six are the
# cand branch alone (BlendHead8(16))
SHAPES = (("cand.0.weight", (16, 7, 3, 3)), ("cand.0.bias", (16,)),
          ("cand.2.weight", (16, 16, 3, 3)), ("cand.2.bias", (16,)),
          ("cand.4.weight", (1, 16, 3, 3)), ("cand.4.bias", (1,)),
          ("syn.0.weight", (16, 3, 3, 3)), ("syn.0.bias", (16,)),
          ("syn.2.weight", (1, 16, 3, 3)), ("syn.2.bias", (1,)))
CAND = SHAPES[:6]
# the serve config of record
RETRIEVAL = {"kshort": 512, "aperture_tol": 0.3, "cut": 96, "K": 64}
TEMPORAL = {"hysteresis": 8, "lookahead": 8}
ENVELOPE_255 = 12

BETA = 24.0
EDGE_WEIGHT = 1.0
LUMA = (0.299, 0.587, 0.114)
TEETH_LUMA = 100 / 255
TEETH_CHROMA = 25 / 255
ALIGN = 64

CENTRE = np.zeros((3, 3))
CENTRE[1, 1] = 1
BOX = np.full((3, 3), 1 / 9)
SOBEL_Y = np.array([[-1, -2, -1], [0, 0, 0], [1, 2, 1]]) / 8
SOBEL_X = SOBEL_Y.T


def blend_head(syn=True):
    """The parameters of BlendHead(16) (or of its cand branch alone), name -> float32 array."""
    w = {name: np.zeros(shape) for name, shape in (SHAPES if syn else CAND)}
    c0 = w["cand.0.weight"]
    c0[0, 6] = CENTRE
    for out, kernel, sign in ((1, SOBEL_Y, 1), (2, SOBEL_Y, -1), (3, SOBEL_X, 1), (4, SOBEL_X, -1)):
        for ch, luma in enumerate(LUMA):
            c0[out, ch] = sign * luma * kernel        # candidate luma gradient
            c0[out, 3 + ch] = -sign * luma * kernel   # minus the frame's
    c2 = w["cand.2.weight"]
    c2[0, 0] = BOX
    c2[0, 1:5] = EDGE_WEIGHT * BOX
    w["cand.4.weight"][0, 0] = -BETA * BOX
    if syn:
        s0, b0 = w["syn.0.weight"], w["syn.0.bias"]
        s0[0, :, 1, 1] = LUMA                # bright: luma over the teeth floor
        b0[0] = -TEETH_LUMA
        s0[1, 0, 1, 1], s0[1, 1, 1, 1] = -1, 1   # green over red beyond the teeth limit
        s0[2, 0, 1, 1], s0[2, 1, 1, 1] = 1, -1   # red over green beyond it (lips)
        b0[1] = b0[2] = -TEETH_CHROMA
        s2 = w["syn.2.weight"]
        s2[0, 0] = 8 * BOX
        s2[0, 1] = s2[0, 2] = -16 * BOX
        w["syn.2.bias"][0] = -1
    return {name: v.astype(np.float32) for name, v in w.items()}


def config(retrieval=None, temporal=None, envelope_255=ENVELOPE_255):
    """The serve config document; arguments override the values of record."""
    doc = {"schema": SCHEMA, "retrieval": dict(RETRIEVAL, **(retrieval or {})),
           "temporal": dict(TEMPORAL, **(temporal or {}))}
    if envelope_255 is not None:
        doc["decode"] = {"envelope_clamp_255": envelope_255}
    return doc


# ---- the pickle ----------------------------------------------------------

def _rebuild_tensor_v2(*args):
    raise RuntimeError("a stand-in: only its name is pickled")


class FloatStorage:
    """Stand-in for the storage class a persistent id names."""


class DoubleStorage:
    """Another storage class (for the files a reader must refuse)."""


@contextlib.contextmanager
def _torch_names():
    """Registers the stand-ins under the module names the pickle records, for one dump."""
    torch, utils = types.ModuleType("torch"), types.ModuleType("torch._utils")
    for obj, module in ((_rebuild_tensor_v2, utils), (FloatStorage, torch), (DoubleStorage, torch)):
        obj.__module__ = module.__name__
        setattr(module, obj.__name__, obj)
    torch._utils = utils
    saved = {name: sys.modules.get(name) for name in ("torch", "torch._utils")}
    sys.modules.update({"torch": torch, "torch._utils": utils})
    try:
        yield
    finally:
        for name, module in saved.items():
            if module is None:
                del sys.modules[name]
            else:
                sys.modules[name] = module


class Storage:
    """A storage as a persistent id names it: ("storage", type, key, "cpu", numel)."""

    def __init__(self, key, numel, kind=FloatStorage, tag="storage"):
        self.key, self.numel, self.kind, self.tag = key, numel, kind, tag


class Tensor:
    """A contiguous tensor of `shape` starting `offset` elements into `storage`.
    `args` replaces the rebuild arguments (for malformed files)."""

    def __init__(self, storage, shape, offset=0, args=None):
        self.storage, self.shape, self.offset, self.args = storage, tuple(shape), offset, args

    def __reduce__(self):
        if self.args is not None:
            return _rebuild_tensor_v2, self.args
        stride = tuple(int(np.prod(self.shape[i + 1:])) for i in range(len(self.shape)))
        return _rebuild_tensor_v2, (self.storage, self.offset, self.shape, stride, False,
                                    collections.OrderedDict())


class StateDict:
    """An OrderedDict of the given (key, value) pairs, duplicates kept, pickled as OrderedDict
    pickles itself; `metadata` adds the per-module version records a saved module carries."""

    def __init__(self, items, metadata=True):
        self.items, self.metadata = list(items), metadata

    def __reduce__(self):
        state = None
        if self.metadata:
            modules = [""]
            for key, _ in self.items:
                parts = str(key).split(".")[:-1]
                for i in range(1, len(parts) + 1):
                    if ".".join(parts[:i]) not in modules:
                        modules.append(".".join(parts[:i]))
            state = {"_metadata": collections.OrderedDict((m, {"version": 1}) for m in modules)}
        return collections.OrderedDict, (), state, None, iter(self.items)


class _Pickler(pickle.Pickler):
    def persistent_id(self, obj):
        if isinstance(obj, Storage):
            return (obj.tag, obj.kind, obj.key, "cpu", obj.numel)
        return None


def pickle_bytes(obj):
    """obj pickled at protocol 2, as the state-dict writer does."""
    buf = io.BytesIO()
    with _torch_names():
        _Pickler(buf, protocol=2).dump(obj)
    return buf.getvalue()


# ---- the archive ---------------------------------------------------------

def _info(name, extra=b""):
    info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
    info.compress_type = zipfile.ZIP_STORED
    info.extra = extra
    return info


def zip_bytes(entries, compression=zipfile.ZIP_STORED, align=ALIGN):
    """A ZIP of (name, bytes) entries in order; stored entries under "/data/" start at a multiple
    of `align` in the file (an extra field pads their local header)."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression) as z:
        for name, data in entries:
            extra = b""
            if align and "/data/" in name and compression == zipfile.ZIP_STORED:
                pad = -(buf.tell() + 30 + len(name.encode()) + 4) % align
                extra = struct.pack("<HH", 0x4246, pad) + b"Z" * pad
            info = _info(name, extra)
            info.compress_type = compression
            z.writestr(info, data)
    return buf.getvalue()


def state_dict_entries(params, prefix=PREFIX):
    """The archive entries of a state dict of separate storages, one per parameter (keys "0", "1", ...)."""
    items, storages = [], []
    for i, (name, value) in enumerate(params.items()):
        key = str(i)
        items.append((name, Tensor(Storage(key, value.size), value.shape)))
        storages.append((f"{prefix}/data/{key}", value.astype("<f4").tobytes()))
    return [(f"{prefix}/data.pkl", pickle_bytes(StateDict(items)))] + storages + [(f"{prefix}/version", b"3\n")]


def weights_bytes(params=None):
    """The weights file of a state dict (default: BlendHead(16))."""
    return zip_bytes(state_dict_entries(blend_head() if params is None else params))


def write_members(directory, params=None, doc=None):
    """Writes the weights member and the serve config into a bundle directory; returns their names."""
    with open(os.path.join(directory, WEIGHTS), "wb") as f:
        f.write(weights_bytes(params))
    with open(os.path.join(directory, CONFIG), "w", encoding="utf-8") as f:
        json.dump(config() if doc is None else doc, f, indent=1)
        f.write("\n")
    return WEIGHTS, CONFIG
