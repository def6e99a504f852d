"""IMX version 2 containers: the bundle's members in one file.

Layout (little-endian): the magic b"IMX\\0", u16 version, u16 member count,
then one table-of-contents entry per member (u16 name length, the name bytes,
u64 payload offset from the start of the file, u64 payload size), then the
payloads.  We place the payloads back to back after the table, in table order.
"""
import os
import shutil
import struct

MAGIC = b"IMX\0"
COPY_CHUNK = 8 << 20


def bundle_members(directory):
    """(name, path) of every file under directory, names with "/" separators.

    manifest.json comes first, then the rest in byte order of their names.
    """
    found = []
    for root, dirs, files in os.walk(directory):
        dirs.sort()
        for f in files:
            path = os.path.join(root, f)
            found.append((os.path.relpath(path, directory).replace(os.sep, "/"), path))
    found.sort(key=lambda m: (m[0] != "manifest.json", m[0].encode()))
    return found


def write(out_path, members, version=2):
    """Writes (name, path) members; version other than 2 makes a refused container."""
    names = [n.encode() for n, _ in members]
    sizes = [os.path.getsize(p) for _, p in members]
    offset = 8 + sum(2 + len(n) + 16 for n in names)
    tmp = out_path + ".tmp"
    with open(tmp, "wb") as out:
        out.write(MAGIC + struct.pack("<HH", version, len(members)))
        for n, size in zip(names, sizes):
            out.write(struct.pack("<H", len(n)) + n + struct.pack("<QQ", offset, size))
            offset += size
        for _, path in members:
            with open(path, "rb") as src:
                shutil.copyfileobj(src, out, COPY_CHUNK)
    os.replace(tmp, out_path)


def read_toc(path):
    """(version, [(name, offset, size)]) of a container; raises ValueError if malformed."""
    with open(path, "rb") as f:
        head = f.read(8)
        if len(head) != 8 or head[:4] != MAGIC:
            raise ValueError(f"{path}: not an IMX container")
        version, count = struct.unpack("<HH", head[4:])
        toc = []
        for i in range(count):
            raw = f.read(2)
            if len(raw) != 2:
                raise ValueError(f"{path}: truncated TOC at member {i}")
            (n,) = struct.unpack("<H", raw)
            name = f.read(n)
            pos = f.read(16)
            if len(name) != n or len(pos) != 16:
                raise ValueError(f"{path}: truncated TOC entry {i}")
            toc.append((name.decode(), *struct.unpack("<QQ", pos)))
    return version, toc


def read_member(path, offset, size):
    with open(path, "rb") as f:
        f.seek(offset)
        data = f.read(size)
    if len(data) != size:
        raise ValueError(f"{path}: truncated payload at {offset}")
    return data
