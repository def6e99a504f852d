#!/usr/bin/python3
"""Generates the standard tiny bundles the C++ tests use (see README.md).

Usage: /usr/bin/python3 tools/bundlegen/make_fixtures.py --out DIR [--force]

Skips all work when DIR/.bundlegen-stamp holds the hash of the generator's
own sources (this file included), so an unchanged generator costs nothing.
"""
import argparse
import concurrent.futures
import glob
import hashlib
import os
import shutil
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bank  # noqa: E402
import head_fixtures  # noqa: E402
import make_bundle  # noqa: E402
import speech  # noqa: E402

STAMP = ".bundlegen-stamp"

# name -> make_bundle options (all on the tiny preset: crop 64, 160x120, NT 12, 24 drive frames)
FIXTURES = {
    # valid bundles
    "tiny_jpg": ["--driver", "jpg", "--prior", "raw"],
    "tiny_mp4": ["--driver", "mp4", "--prior", "raw"],
    "tiny_both_drivers": ["--driver", "both", "--prior", "raw"],
    "tiny_hevc": ["--driver", "jpg", "--prior", "hevc"],
    "tiny_hevc_stream": ["--driver", "jpg", "--prior", "hevc", "--prior-stream", "hevc"],
    "tiny_fsred": ["--prior", "none", "--fs-red"],
    "tiny_p_fsred": ["--prior", "raw", "--fs-red"],
    "tiny_old_names": ["--names", "old", "--driver", "both", "--prior", "both", "--fs-red"],
    "tiny_both_names": ["--names", "old", "--both-names", "M.f32", "--both-names", "mask_512.u8"],
    "tiny_named": ["--driver", "both", "--jpg-dir", "driver_jpg", "--mp4-name", "driver.mp4",
                   "--prior", "hevc", "--p-hevc-name", "face_prior.mov"],
    "tiny_audio": ["--driver", "mp4", "--driver-audio"],
    "tiny_src_canvas": ["--src-canvas", "320x240"],
    "tiny_stamp_paste_source": ["--stamp", "paste_source"],
    "tiny_stamp_mixed": ["--stamp", "mixed"],
    "tiny_stamp_both": ["--stamp", "both"],
    "tiny_stamp_conflicting": ["--stamp", "conflicting"],
    "tiny_nested_W": ["--nested", "W"],
    "tiny_imx_src": ["--imx", "{out}/tiny.imx"],
    "audio_probe": ["--audio", "probe"],
    "audio_probe_long": ["--audio", "probe", "--no-short-window"],
    "tiny_lip_mapped": ["--unified", "on", "--lip-template", "mapped"],
    "tiny_lip_plain": ["--unified", "on", "--lip-template", "plain"],
    # crop 128: at 64 the known pi geometries' centroids lie too close to tell the bank's apart
    "tiny_bank": ["--crop", "128", "--width", "320", "--height", "240", "--unified", "on", "--bank", "on",
                  "--bank-raw", "{out}/tiny_bank.donors.rgb"],
    # one defect each
    "bad_stamp_missing": ["--stamp", "missing"],
    "bad_stamp_zero": ["--stamp", "zero"],
    "bad_short_mp4": ["--driver", "mp4", "--driver-frames", "11"],
    "bad_short_jpg": ["--driver", "jpg", "--driver-frames", "11"],
    "bad_driver_yuv422": ["--driver", "mp4", "--driver-pix-fmt", "yuv422p"],
    "bad_driver_yuv444": ["--driver", "mp4", "--driver-pix-fmt", "yuv444p"],
    "bad_prior_yuv420": ["--prior", "hevc", "--prior-pix-fmt", "yuv420p"],
    "bad_jpg_frame5": ["--jpg-bad-frame", "5"],
    "bad_no_prior": ["--prior", "none"],
    "bad_hevc_missing": ["--prior", "hevc", "--drop", "P_hevc.mov"],
    "bad_p_rgb": ["--p-rgb", "face_prior.f16"],
    "bad_no_driver": ["--drop", "target_frames"],
    "bad_size_M": ["--bad-size", "M.f32:1"],
    "bad_size_pooled": ["--bad-size", "pooled64.f16:-131072"],
    "bad_size_P": ["--bad-size", "P.f16:-1"],
    "bad_size_mask": ["--bad-size", "mask_512.u8:-1"],
    "bad_size_xs": ["--bad-size", "drive/xs.f32:4"],
    "bad_si": ["--si-out-of-range"],
    "bad_dims": ["--bad-dims", "crop"],
    "bad_format": ["--format", "le-bundle-v1"],
    "bad_ambiguous_W": ["--ambiguous", "W"],
    "bad_missing_frames": ["--unset", "frames"],
    "bad_imx_src": ["--imx", "{out}/bad_imx_v3.imx", "--imx-version", "3"],
}
CONTAINERS = ("tiny.imx", "bad_imx_v3.imx")
SPEECH = ("speech_3s.f32", "speech_3s.wav")
BANK_RAW = "tiny_bank.donors.rgb"
BANK_TRACKS = "bank_tracks"
HEAD = "tessera_head"  # the blend head's members and their broken variants (head_fixtures.py)

# name -> (fixture above, director options): a copy of that bundle whose directors
# are written with the options added to the fixture's own (drawing a bundle is the
# slow part; a director takes milliseconds)
DIRECTOR_VARIANTS = {
    "tiny_kp20": ("tiny_jpg", ["--kp-rows", "20"]),
    "tiny_kp22": ("tiny_jpg", ["--kp-rows", "22"]),
    "tiny_kpsym": ("tiny_jpg", ["--kp-rows", "sym"]),
    "tiny_pooled_symbolic": ("tiny_jpg", ["--batch", "sym"]),
    "tiny_batch4": ("tiny_jpg", ["--batched-director", "4"]),
    "tiny_b24": ("tiny_jpg", ["--batched-director", "24_fp32"]),
    "tiny_baked": ("tiny_jpg", ["--director", "baked"]),
    "tiny_int8": ("tiny_jpg", ["--director", "int8"]),
    "tiny_featsynth": ("tiny_fsred", ["--director", "featsynth"]),
    # renders tiny_jpg's pixels, but a run whose driving keypoints start with an x
    # over 100 (kp_driving[0, 0, 0], element 0 of the 63 floats of sample 0) fails
    # in ONNX Runtime: set element 0 of a row of a copy's xs_target.bin to 1000
    # to fail the frames rendered over that template row
    "tiny_fail_kp": ("tiny_jpg", ["--director", "fail_kp"]),
    # the source cone's run fails while the first value of P_rgb is over 100: set
    # the first half float of a source frame of source_frames.f16 to 1000
    "tiny_fail_prgb": ("tiny_jpg", ["--director", "fail_prgb"]),
    # two cubic head Resizes (the rewrite needs exactly one); a graph already
    # reading an input named lip_delivery
    "tiny_two_cubics": ("tiny_jpg", ["--director", "two_cubics"]),
    "tiny_lip_input": ("tiny_lip_mapped", ["--director", "lip_input"]),
    # graphs whose source cone cannot be cut out
    "tiny_two_concats": ("tiny_jpg", ["--director", "two_concats"]),
    "tiny_cone_escape": ("tiny_jpg", ["--director", "cone_escape"]),
    "tiny_prgb_escape": ("tiny_jpg", ["--director", "prgb_escape"]),
}


def generator_hash():
    h = hashlib.sha256()
    for path in sorted(glob.glob(os.path.join(os.path.dirname(os.path.abspath(__file__)), "*.py"))):
        h.update(os.path.basename(path).encode() + b"\0")
        with open(path, "rb") as f:
            h.update(f.read())
    return h.hexdigest()


def make(out, name):
    argv = [a.replace("{out}", out) for a in FIXTURES[name]]
    make_bundle.main(["--out", os.path.join(out, name), *argv])


def derive(out, name):
    base, options = DIRECTOR_VARIANTS[name]
    dst = os.path.join(out, name)
    shutil.copytree(os.path.join(out, base), dst)
    args = make_bundle.parse(["--out", dst, *FIXTURES[base], *options])
    make_bundle.write_directors(args, make_bundle.Bundle(dst, args.names == "canonical"))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--out", required=True, help="fixture directory")
    p.add_argument("--force", action="store_true", help="regenerate even when up to date")
    p.add_argument("--jobs", type=int, default=2, help="bundles generated at once (default 2)")
    args = p.parse_args(argv)
    out = os.path.abspath(args.out)
    stamp = os.path.join(out, STAMP)
    digest = generator_hash()
    if not args.force and os.path.exists(stamp):
        with open(stamp) as f:
            if f.read().strip() == digest:
                print(f"bundlegen: fixtures in {out} are up to date")
                return
    os.makedirs(out, exist_ok=True)
    if os.path.exists(stamp):
        os.remove(stamp)
    for name in (*FIXTURES, *DIRECTOR_VARIANTS, BANK_TRACKS, HEAD):
        shutil.rmtree(os.path.join(out, name), ignore_errors=True)
    for name in (*CONTAINERS, *SPEECH, BANK_RAW):
        if os.path.exists(os.path.join(out, name)):
            os.remove(os.path.join(out, name))
    with concurrent.futures.ProcessPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        list(pool.map(make, [out] * len(FIXTURES), FIXTURES))
    for name in DIRECTOR_VARIANTS:
        derive(out, name)
    speech.write(out, SPEECH[0].partition(".")[0])
    bank.test_tracks(os.path.join(out, BANK_TRACKS))
    head_fixtures.write(os.path.join(out, HEAD))
    with open(stamp, "w") as f:
        f.write(digest + "\n")
    count = len(FIXTURES) + len(DIRECTOR_VARIANTS)
    print(f"bundlegen: {count} bundles, {len(CONTAINERS)} containers, the speech clip, the bank tracks and the head files "
          f"written to {out}")


if __name__ == "__main__":
    main()
