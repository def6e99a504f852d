#!/usr/bin/python3
"""Writes a deterministic avatar bundle directory (and optionally its IMX container).

Usage: /usr/bin/python3 tools/bundlegen/make_bundle.py --out DIR [--preset tiny|sample]
       [--imx FILE] [options]

The same options always give byte-identical output.  Defect options each
break exactly one thing, so a test can ask for one refusal at a time.
"""
import argparse
import os
import shutil
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import audio  # noqa: E402
import audio_motion  # noqa: E402
import bank  # noqa: E402
import head  # noqa: E402
import director  # noqa: E402
import imx  # noqa: E402
import lips  # noqa: E402
import manifest  # noqa: E402
import tables  # noqa: E402
import video  # noqa: E402
from frames import FrameMaker  # noqa: E402
from motion import Timeline  # noqa: E402

# K of the serve config, the donors the blend head weighs per frame, sized to the mouth borrow's share of a
# 40 ms frame on two cores (the head runs once per donor); the value of record, 64, is for more cores. The
# shortlist the exact score runs on (and the aperture walk over it) shrinks with the bank: a third of the
# sample's 96 donors rather than every one of them.
BORROW_K = 8
BORROW_SHORTLIST = 32
PRESETS = {
    "tiny": dict(crop=64, width=160, height=120, nt=12, frames=24, driver="jpg", prior="raw",
                 unsharp="0.5,1.0,5", unified="off", lip_template="none", bank="off", bank_donors=12),
    "sample": dict(crop=512, width=1920, height=1080, nt=100, frames=200, driver="mp4", prior="hevc",
                   unsharp="1.3,2.0,13", unified="on", lip_template="mapped", bank="on", bank_donors=96),
}


def parser():
    p = argparse.ArgumentParser(
        prog="make_bundle.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    g = p.add_argument_group("output")
    g.add_argument("--out", required=True, help="bundle directory (replaced if it holds a bundle)")
    g.add_argument("--imx", help="also write the bundle as this IMX v2 container")
    g.add_argument("--preset", choices=sorted(PRESETS), default="tiny",
                   help="tiny: crop 64, 160x120, NT 12 (tests); sample: crop 512, 1920x1080, NT 100")
    g = p.add_argument_group("size and content (override the preset)")
    g.add_argument("--seed", type=int, default=1, help="seed of every random choice (default 1)")
    g.add_argument("--agent", default="bundlegen", help="manifest agent string")
    g.add_argument("--crop", type=int, help="side of the face crop")
    g.add_argument("--width", type=int, help="canvas width W")
    g.add_argument("--height", type=int, help="canvas height H")
    g.add_argument("--nt", type=int, help="target frames NT")
    g.add_argument("--frames", type=int, help="idle-loop drive frames")
    g.add_argument("--unsharp", metavar="A,S,K", help="unsharp amount, sigma, ksize")
    g = p.add_argument_group("forms")
    g.add_argument("--names", choices=("canonical", "old"), default="canonical",
                   help="member file names: canonical (paste_transform.f32, ...) or older (M.f32, ...)")
    g.add_argument("--driver", choices=("jpg", "mp4", "both"), help="driver video form")
    g.add_argument("--prior", choices=("raw", "hevc", "both", "none"),
                   help="warp prior: raw halves, lossless HEVC 4:4:4 video, both, or none")
    g.add_argument("--fs-red", action="store_true", help="also write the fs_red feature tensors")
    g.add_argument("--jpg-dir", help="jpg driver directory name (written as target_frames)")
    g.add_argument("--mp4-name", help="mp4 driver member name (written as target_frames_mp4)")
    g.add_argument("--p-hevc-name", help="HEVC prior member name (written as P_hevc)")
    g.add_argument("--p-rgb", help="write the raw prior under this name and name it in P_rgb")
    g.add_argument("--src-canvas", metavar="WxH",
                   help="author M on this canvas (the paste-space stamp) instead of W x H")
    g.add_argument("--stamp", choices=manifest.STAMPS, default="msrc",
                   help="paste-space stamp keys: msrc (M_src_w/h), paste_source (paste_source_width/height), "
                        "mixed (M_src_w + paste_source_height), both (equal pairs), conflicting (M_src right, "
                        "paste_source doubled), missing, zero (M_src_w 0)")
    g.add_argument("--driver-audio", action="store_true", help="mp4 driver also carries an audio stream")
    g.add_argument("--prior-stream", choices=("mov", "hevc"), default="mov",
                   help="HEVC prior in a mov (declares its frame count) or a bare stream (declares none)")
    g = p.add_argument_group("mouth geometry")
    g.add_argument("--unified", choices=("on", "off"),
                   help="write the manifest's unified block (the mouth borrow's compose geometry; sample: on)")
    g.add_argument("--lip-template", choices=lips.FORMATS,
                   help=f"{lips.TEMPLATE}: none, plain (canonical polygon) or mapped (with its anchor-linear "
                        "lip map; sample: mapped)")
    g.add_argument("--bank", choices=("on", "off"),
                   help=f"write the donor bank ({bank.TRACK}, {bank.SIDECAR}) and the manifest's tessera block "
                        "(needs --unified on; sample: on)")
    g.add_argument("--bank-donors", type=int, metavar="N", help="donors in the bank (tiny: 12, sample: 96)")
    g.add_argument("--bank-raw", metavar="FILE",
                   help="also write the donor patches, in donor order, as raw RGB bytes to FILE")
    g = p.add_argument_group("director graph (model_render.onnx)")
    g.add_argument("--director", choices=director.KINDS, default="standard",
                   help="standard (pooled64, P_rgb, kp_driving, kp_source), featsynth (fs_red, pooled, kd, ks), "
                        "baked (GridSampleFast in the graph), int8 (one Int8ConvVNNI convolution) or fail_kp "
                        f"(standard, but the run fails while kp_driving[0,0,0] > {director.FAIL_ABOVE:g})")
    g.add_argument("--kp-rows", type=dim, default=director.KP_POINTS, metavar="N|sym",
                   help="keypoint rows the director declares (default 21; sym: symbolic)")
    g.add_argument("--batch", type=dim, default=1, metavar="N|sym",
                   help="batch the director declares (default 1; sym: symbolic)")
    g.add_argument("--batched-director", action="append", default=[], metavar="N[_TAIL]",
                   help="also write the director at batch N as model_bN[_TAIL].onnx (model key bN[_TAIL])")
    g = p.add_argument_group("speech models (a2x, FCA, motion/)")
    g.add_argument("--audio", choices=audio.KINDS, default="sample",
                   help="sample: small graphs whose lips follow speech; probe: graphs that echo their inputs")
    g.add_argument("--no-short-window", action="store_true",
                   help="leave out the short-window front-end pair (trunk and head)")
    g = p.add_argument_group("defects (each breaks one thing)")
    g.add_argument("--driver-frames", type=int, help="driver video holds this many frames instead of NT")
    g.add_argument("--driver-pix-fmt", choices=("yuv420p", "yuv422p", "yuv444p"), default="yuv420p",
                   help="pixel format of the mp4 driver (only yuv420p is accepted)")
    g.add_argument("--prior-pix-fmt", choices=("yuv444p", "yuv420p"), default="yuv444p",
                   help="pixel format of the HEVC prior (only yuv444p is accepted)")
    g.add_argument("--jpg-bad-frame", type=int, metavar="K", help="jpg frame K is one pixel narrower")
    g.add_argument("--drop", action="append", default=[], metavar="MEMBER",
                   help="delete a member (either name; also target_frames, target_frames.mp4)")
    g.add_argument("--bad-size", action="append", default=[], metavar="MEMBER[:DELTA]",
                   help="grow (DELTA > 0, default 1) or cut (DELTA < 0) a member by DELTA bytes")
    g.add_argument("--both-names", action="append", default=[], metavar="MEMBER",
                   help="also write the member under its other name, zero-filled")
    g.add_argument("--si-out-of-range", action="store_true", help="last idle-loop si is NT")
    g.add_argument("--bad-dims", choices=("NT", "W", "H", "crop"), help="write this manifest key as 0")
    g.add_argument("--format", default=manifest.FORMAT, help="manifest format string")
    g.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                   help="set a manifest key (VALUE as JSON, else a string)")
    g.add_argument("--unset", action="append", default=[], metavar="KEY", help="remove a manifest key")
    g.add_argument("--nested", action="append", default=[], metavar="KEY",
                   help="repeat KEY (other value) inside a nested block; the top-level one counts")
    g.add_argument("--ambiguous", action="append", default=[], metavar="KEY",
                   help="move KEY into two nested blocks with different values (ambiguous)")
    g.add_argument("--imx-version", type=int, default=2, help="version field of the container")
    return p


def dim(text):
    """A declared dimension: a positive count, or sym for a symbolic one (None)."""
    if text == "sym":
        return None
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is neither a positive count nor sym")
    return int(text)


def resolve(args):
    """Fills unset size/form options from the preset."""
    for key, value in PRESETS[args.preset].items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    a, s, k = args.unsharp.split(",")
    args.unsharp = (float(a), float(s), int(k))
    if args.src_canvas:
        w, h = args.src_canvas.lower().split("x")
        args.src_w, args.src_h = int(w), int(h)
    else:
        args.src_w, args.src_h = args.width, args.height
    if args.bank == "on" and args.unified != "on":
        raise SystemExit("make_bundle: --bank on needs --unified on: the bank is built against its pi geometry")
    if not 1 <= args.bank_donors <= 1024:
        raise SystemExit(f"make_bundle: --bank-donors {args.bank_donors}: expected 1..1024")
    if args.driver_frames is None:
        args.driver_frames = args.nt
    for suffix in args.batched_director:
        if not suffix.partition("_")[0].isdigit() or int(suffix.partition("_")[0]) < 1:
            raise SystemExit(f"make_bundle: --batched-director {suffix}: expected a batch count, then _TAIL")
    return args


def parse(argv):
    return resolve(parser().parse_args(argv))


class Bundle:
    """Writes members into one bundle directory."""

    def __init__(self, root, canonical):
        self.root = root
        self.canonical = canonical

    def path(self, older):
        return os.path.join(self.root, tables.member_name(older, self.canonical))

    def write(self, older, data):
        path = self.path(older)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def existing(self, name):
        """Path of a member given by either name, as written."""
        older = tables.older_name(name)
        for candidate in (self.path(older), os.path.join(self.root, name)):
            if os.path.lexists(candidate):
                return candidate
        raise SystemExit(f"make_bundle: no member {name} in this bundle")


def prepare(out):
    if os.path.isdir(out):
        if os.listdir(out) and not os.path.exists(os.path.join(out, "manifest.json")):
            raise SystemExit(f"make_bundle: {out} exists and is not a bundle; not replacing it")
        shutil.rmtree(out)
    os.makedirs(out)


def write_videos(args, b, tl, fm):
    """Driver frames and the warp prior, frame by frame; returns manifest entries."""
    opt = []
    jpg_dir = args.jpg_dir or "target_frames"
    mp4_name = args.mp4_name or "target_frames.mp4"
    if args.jpg_dir:
        opt.append(("target_frames", jpg_dir))
    if args.mp4_name:
        opt.append(("target_frames_mp4", mp4_name))
    drivers = []
    if args.driver in ("jpg", "both"):
        drivers.append(video.JpgDir(os.path.join(b.root, jpg_dir), args.width, args.height))
    if args.driver in ("mp4", "both"):
        audio = args.nt / video.FPS if args.driver_audio else 0.0
        drivers.append(video.H264(os.path.join(b.root, mp4_name), args.width, args.height,
                                  args.driver_pix_fmt, audio))
    raw, hevc = None, None
    raw_name = args.p_rgb or "P.f16"
    if args.p_rgb:
        opt.append(("P_rgb", args.p_rgb))
    if args.prior in ("raw", "both"):
        raw = open(b.path(raw_name), "wb")
    if args.prior in ("hevc", "both"):
        hevc_name = args.p_hevc_name or tables.member_name("P_hevc.mov", b.canonical)
        opt.append(("P_hevc", hevc_name))
        hevc = video.Hevc(os.path.join(b.root, hevc_name), args.crop, args.prior_pix_fmt, args.prior_stream)
    fsred = open(b.path("fs_red.f16"), "wb") if args.fs_red else None
    for i in range(args.nt):
        if i < args.driver_frames:
            frame = fm.canvas(i)
            for d in drivers:
                d.write(frame)
        if raw or hevc:
            crop = fm.crop(i)
            if hevc:
                hevc.write(crop)
            if raw:
                # what the lossless HEVC prior decodes to: both forms agree exactly
                raw.write(tables.prior_frame(video.through_yuv444(crop)))
    for d in drivers:
        d.close()
    if hevc:
        hevc.close()
    if raw:
        raw.close()
    if fsred:
        fsred.write(tables.features(args.nt, tables.FSRED_ELEMS, args.seed, 2))
        fsred.close()
    if args.jpg_bad_frame is not None:
        k = args.jpg_bad_frame
        video.jpg_frame(os.path.join(b.root, jpg_dir, f"frame_{k:06d}.jpg"), fm.canvas(k)[:, :-1])
    return opt


def write_tables(args, b, tl):
    b.write("pooled64.f16", tables.features(args.nt, tables.POOLED_ELEMS, args.seed, 1))
    M = tl.M.astype(np.float64)
    M[:, :3] *= args.src_w / args.width
    M[:, 3:] *= args.src_h / args.height
    b.write("M.f32", tables.f32(M))
    b.write("mask_512.u8", tables.paste_mask(args.crop))
    b.write("xs_target.bin", tables.f32(tl.kp.reshape(args.nt, 63)))
    si, xs, xd = tl.idle_loop(args.frames, args.seed)
    if args.si_out_of_range and args.frames:
        si[-1] = args.nt
    b.write("drive/si.i32", tables.i32(si))
    b.write("drive/xs.f32", tables.f32(xs))
    b.write("drive/xd.f32", tables.f32(xd))


def write_directors(args, b):
    def graph(batch):
        return director.serialize(args.crop, batch, args.director, args.kp_rows)
    b.write("model_render.onnx", graph(args.batch))
    for suffix in args.batched_director:
        b.write(f"model_b{suffix}.onnx", graph(int(suffix.partition("_")[0])))


def write_audio(args, b, tl):
    audio.write(b, args.audio, not args.no_short_window)
    audio_motion.write(b, args.audio, tl.kp)


def write_mouth(args, b, tl):
    """The lip template member; returns the manifest entries."""
    if args.lip_template != "none":
        b.write(lips.TEMPLATE, lips.template(tl, args.lip_template).encode())
    return [("unified", lips.unified_block(args.crop))] if args.unified == "on" else []


def write_bank(args, b, tl, fm):
    """The mouth borrow's four members: the donor bank's track and sidecar (and, on request, its raw
    patches) and the blend head's weights and serve config; returns the manifest entries."""
    if args.bank != "on":
        return []
    gate = lips.unified_block(args.crop)["pi"]["prop_gate_scale"]
    sidecar, patches = bank.write(b.root, tl, fm, args.bank_donors, args.seed, gate)
    head.write_members(b.root, doc=head.config(retrieval={"K": BORROW_K, "kshort": BORROW_SHORTLIST, "cut": BORROW_SHORTLIST}))
    if args.bank_raw:
        with open(args.bank_raw, "wb") as f:
            f.write(patches.tobytes())
    return [("tessera", bank.manifest_block(sidecar))]


def apply_defects(args, b):
    for name in args.both_names:
        path = b.existing(name)
        older = tables.older_name(name)
        other = tables.member_name(older, not b.canonical)
        with open(os.path.join(b.root, other), "wb") as f:
            f.write(bytes(os.path.getsize(path)))
    for item in args.bad_size:
        name, _, delta = item.partition(":")
        path = b.existing(name)
        size = os.path.getsize(path) + int(delta or 1)
        with open(path, "r+b") as f:
            if size > os.path.getsize(path):
                f.seek(0, os.SEEK_END)
                f.write(bytes(size - f.tell()))
            else:
                f.truncate(max(size, 0))
    for name in args.drop:
        path = b.existing(name)
        if os.path.isdir(path):
            shutil.rmtree(path)
        else:
            os.remove(path)


def write_manifest(args, b, optional):
    amount, sigma, ksize = args.unsharp
    fields = [("format", args.format), ("agent", args.agent), ("NT", args.nt), ("W", args.width),
              ("H", args.height), ("crop", args.crop), ("amount", amount), ("sigma", sigma),
              ("ksize", ksize), ("frames", args.frames)]
    overrides = [(kv.partition("=")[0], manifest.parse_value(kv.partition("=")[2])) for kv in args.set]
    if args.bad_dims:
        overrides.append((args.bad_dims, 0))
    text = manifest.build(fields, manifest.stamp_keys(args.stamp, args.src_w, args.src_h), optional,
                          nested=args.nested, ambiguous=args.ambiguous, overrides=overrides, removed=args.unset)
    with open(os.path.join(b.root, "manifest.json"), "w", encoding="utf-8") as f:
        f.write(text)


def build(args):
    prepare(args.out)
    b = Bundle(args.out, args.names == "canonical")
    tl = Timeline(args.width, args.height, args.crop, args.nt, args.seed)
    fm = FrameMaker(tl, args.seed)
    optional = write_videos(args, b, tl, fm)
    write_tables(args, b, tl)
    write_directors(args, b)
    write_audio(args, b, tl)
    optional += write_mouth(args, b, tl)
    optional += write_bank(args, b, tl, fm)
    apply_defects(args, b)
    write_manifest(args, b, optional)
    if args.imx:
        imx.write(args.imx, imx.bundle_members(args.out), args.imx_version)


def main(argv=None):
    build(parse(sys.argv[1:] if argv is None else argv))


if __name__ == "__main__":
    main()
