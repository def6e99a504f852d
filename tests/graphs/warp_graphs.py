"""Director graphs for the warp-block and source-cone tests and the warp peer comparison.

Writes into --out, for the given --crop: director_KIND.onnx for the standard,
baked and FeatSynth directors and every kind that breaks the warp block
(tools/bundlegen/director.py), and warp_block.onnx, the warp block alone
(director.warp_block).
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "bundlegen"))

import director  # noqa: E402
import onnx  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", required=True)
    ap.add_argument("--crop", type=int, default=64)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for kind in ("standard", "baked", "featsynth", *director.BROKEN_WARP_KINDS):
        onnx.save(director.build(args.crop, kind=kind), os.path.join(args.out, f"director_{kind}.onnx"))
    onnx.save(director.warp_block(args.crop), os.path.join(args.out, "warp_block.onnx"))


if __name__ == "__main__":
    main()
