#!/usr/bin/python3
"""Writes the blend-head test fixtures: the two members as head.py writes them,
weights files that each break one rule of the reader, and the expected values.

Usage: /usr/bin/python3 tools/bundlegen/head_fixtures.py --out DIR

DIR receives tessera_head.v1.pt and tessera_head.v1.json (head.write_members),
blendhead16.f32 and blendhead8.f32 (the parameters in state-dict order, raw
little-endian float32, written by numpy), and one .pt file per variant of
VARIANTS (loadable ones first, then one defect each).
"""
import argparse
import os
import pickle
import shutil
import struct
import sys
import zipfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import head  # noqa: E402
from head import PREFIX, Storage, StateDict, Tensor  # noqa: E402


def entries(params=None, drop=(), short=(), items=None, storages=None):
    """The archive entries of a state dict with the given changes: `drop` leaves storages out,
    `short` shortens storages by one float, `items` replaces the pickled (key, value) pairs and
    `storages` the storage entries."""
    out = head.state_dict_entries(head.blend_head() if params is None else params)
    pkl, stored, version = out[0], out[1:-1], out[-1]
    if items is not None:
        pkl = (pkl[0], head.pickle_bytes(StateDict(items)))
    if storages is not None:
        stored = storages
    stored = [(n, d[:-4] if n.rsplit("/", 1)[1] in short else d) for n, d in stored
              if n.rsplit("/", 1)[1] not in drop]
    return [pkl] + stored + [version]


def tensors(params=None):
    """(name, Tensor) pairs over separate storages "0", "1", ..."""
    params = head.blend_head() if params is None else params
    return [(name, Tensor(Storage(str(i), v.size), v.shape)) for i, (name, v) in enumerate(params.items())]


def shared_storage():
    """Every parameter a view into one storage, at increasing offsets."""
    params = head.blend_head()
    flat = b"".join(v.astype("<f4").tobytes() for v in params.values())
    whole = Storage("0", len(flat) // 4)
    pairs, offset = [], 0
    for name, v in params.items():
        pairs.append((name, Tensor(whole, v.shape, offset)))
        offset += v.size
    return head.zip_bytes(entries(items=pairs, storages=[(f"{PREFIX}/data/0", flat)]))


def two_pickles(later_valid):
    good = entries()
    bad = ("extra/data.pkl", pickle.PROTO + b"\x02" + pickle.EMPTY_LIST + pickle.STOP)
    return head.zip_bytes([bad] + good if later_valid else good + [bad])


def pickle_only(program):
    return head.zip_bytes([(f"{PREFIX}/data.pkl", program)])


def truncated_pickle():
    good = entries()
    pkl = good[0][1]
    cut = pkl.index(b"cand.2.weight") + 5
    return head.zip_bytes([(good[0][0], pkl[:cut])] + good[1:])


# ---- byte-level edits of a finished archive --------------------------------

def central_entries(data):
    """(offset of each central directory entry, offset of the EOCD) of an archive."""
    eocd = data.rindex(b"PK\x05\x06")
    count, start = struct.unpack_from("<H", data, eocd + 10)[0], struct.unpack_from("<I", data, eocd + 16)[0]
    offsets, pos = [], start
    for _ in range(count):
        offsets.append(pos)
        n, e, c = struct.unpack_from("<HHH", data, pos + 28)
        pos += 46 + n + e + c
    return offsets, eocd


def patched(data, edits):
    """data with (offset, struct format, value) edits applied."""
    out = bytearray(data)
    for offset, fmt, value in edits:
        struct.pack_into(fmt, out, offset, value)
    return bytes(out)


def storage_entry(data, key):
    offsets, _ = central_entries(data)
    for pos in offsets:
        n = struct.unpack_from("<H", data, pos + 28)[0]
        if data[pos + 46:pos + 46 + n].decode().endswith(f"/data/{key}"):
            return pos
    raise KeyError(key)


def one_more_entry():
    data = head.weights_bytes()
    _, eocd = central_entries(data)
    return patched(data, [(eocd + 8, "<H", 13), (eocd + 10, "<H", 13)])


def local_header_beyond():
    data = head.weights_bytes()
    return patched(data, [(storage_entry(data, "3") + 42, "<I", len(data) - 29)])


def oversized_entry():
    data = head.weights_bytes()
    pos = storage_entry(data, "3")
    return patched(data, [(pos + 20, "<I", 1 << 30), (pos + 24, "<I", 1 << 30)])


def sized_by_compressed_length():
    """A storage whose uncompressed size reads 0: its compressed size counts."""
    data = head.weights_bytes()
    return patched(data, [(storage_entry(data, "3") + 24, "<I", 0)])


def malformed_rebuild():
    pairs = tensors()
    name, t = pairs[0]
    pairs[0] = (name, Tensor(t.storage, t.shape, args=(t.storage, 0, t.shape)))
    return head.zip_bytes(entries(items=pairs))


def with_pair(index, pair):
    pairs = tensors()
    pairs.insert(index, pair)
    return head.zip_bytes(entries(items=pairs))


def replaced(name, value):
    return head.zip_bytes(entries(items=[(k, value if k == name else v) for k, v in tensors()]))


def storage_kind(**kw):
    pairs = tensors()
    name, t = pairs[1]
    pairs[1] = (name, Tensor(Storage(t.storage.key, t.storage.numel, **kw), t.shape))
    return head.zip_bytes(entries(items=pairs))


def narrow_first_conv():
    params = head.blend_head()
    params["cand.0.weight"] = params["cand.0.weight"][:, :6]
    return head.zip_bytes(entries(params))


def without(*names):
    params = {k: v for k, v in head.blend_head().items() if k not in names}
    return head.zip_bytes(entries(params))


class _Call:
    """A value that pickles as a call of fn(*args)."""

    def __init__(self, fn, args):
        self.fn, self.args = fn, args

    def __reduce__(self):
        return self.fn, self.args


G = pickle.GLOBAL
P2 = pickle.PROTO + b"\x02"
# name -> bytes of the weights file
VARIANTS = {
    # loadable
    "blendhead8.pt": lambda: head.weights_bytes(head.blend_head(syn=False)),
    "shared_storage.pt": shared_storage,
    "two_pickles_later_valid.pt": lambda: two_pickles(True),
    "compressed_size_only.pt": sized_by_compressed_length,
    # the container
    "short.pt": lambda: b"PK\x03\x04" + bytes(17),
    "no_eocd.pt": lambda: head.weights_bytes()[:-22],
    "cd_overrun.pt": one_more_entry,
    "deflated.pt": lambda: head.zip_bytes(entries(), compression=zipfile.ZIP_DEFLATED),
    "local_header_beyond.pt": local_header_beyond,
    "oversized_entry.pt": oversized_entry,
    "no_entries.pt": lambda: head.zip_bytes([]),
    "root_data_pkl.pt": lambda: head.zip_bytes([("data.pkl", entries()[0][1])] + entries()[1:]),
    "two_pickles_later_bad.pt": lambda: two_pickles(False),
    # the pickle
    "truncated_pickle.pt": truncated_pickle,
    "empty_list.pt": lambda: with_pair(2, ("extras", [])),
    "calls_rmtree.pt": lambda: with_pair(0, ("cand.0.hook", _Call(shutil.rmtree, ("/nonexistent",)))),
    "binget_missing.pt": lambda: pickle_only(P2 + pickle.BINGET + b"\x07" + pickle.STOP),
    "long_binget_missing.pt": lambda: pickle_only(P2 + pickle.LONG_BINGET + struct.pack("<I", 1000) + pickle.STOP),
    "persid_not_storage.pt": lambda: storage_kind(tag="module"),
    "double_storage.pt": lambda: storage_kind(kind=head.DoubleStorage),
    "malformed_rebuild.pt": malformed_rebuild,
    "empty_state_dict.pt": lambda: pickle_only(head.pickle_bytes(StateDict([], metadata=False))),
    "stack_underflow.pt": lambda: pickle_only(P2 + pickle.TUPLE2 + pickle.STOP),
    "setitems_odd.pt": lambda: pickle_only(P2 + pickle.MARK + pickle.BININT1 + b"\x01" + pickle.SETITEMS),
    "global_unterminated.pt": lambda: pickle_only(P2 + G + b"collections\nOrderedDict"),
    # the parameters
    "duplicate_bias.pt": lambda: with_pair(3, tensors()[1]),
    "bias_not_tensor.pt": lambda: replaced("cand.0.bias", 7),
    "narrow_first_conv.pt": narrow_first_conv,
    "syn_without_last_bias.pt": lambda: without("syn.2.bias"),
    "cand_without_last_bias.pt": lambda: without("cand.4.bias", *[n for n, _ in head.SHAPES[6:]]),
    "storage_missing.pt": lambda: head.zip_bytes(entries(drop=("4",))),
    "storage_short.pt": lambda: head.zip_bytes(entries(short=("2",))),
}


def write(out):
    os.makedirs(out, exist_ok=True)
    head.write_members(out)
    for name, syn in (("blendhead16.f32", True), ("blendhead8.f32", False)):
        with open(os.path.join(out, name), "wb") as f:
            for v in head.blend_head(syn).values():
                f.write(v.astype("<f4").tobytes())
    for name, make in VARIANTS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(make())


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--out", required=True, help="fixture directory")
    write(p.parse_args(argv).out)


if __name__ == "__main__":
    main()
