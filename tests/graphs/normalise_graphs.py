"""Small graphs for the load-time normalisation tests, written with onnx's own helper API.

Into --out:
  cubic_a075.onnx, cubic_a050.onnx  X -> Conv -> cubic x2 Resize (half_pixel, a = -0.75 / -0.5) -> Y
  cubic_testdata.onnx               X -> identity Conv -> the Resize of the cubic upsample node test -> Y
  cubic_scales23.onnx, cubic_roi.onnx, cubic_exclude.onnx, cubic_two.onnx, cubic_noconv.onnx
                                    variants the rewrite must leave alone
  blend.onnx                        X [N, 8] -> MatMul "/s2/blend" [8, 4] -> Y
  blend3.onnx, blend_renamed.onnx   a "/s2/blend" MatMul with 3 inputs; the same MatMul under another name
  compose.onnx                      Y = fg x alpha + (1 - alpha) x bg through Identity and Cast, alpha =
                                    Clip(a); alpha is also the output A
  compose_untailed.onnx, compose_lip.onnx
                                    no (1 - alpha) branch; an input already named lip_delivery
"""
import argparse
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

TESTDATA = "/usr/share/libonnx-testdata/data/node/test_resize_upsample_scales_cubic"
C, SIDE = 3, 9


def save(out, name, nodes, inputs, outputs, inits):
    graph = helper.make_graph(nodes, name, inputs, outputs, inits)
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    m.ir_version = 8
    onnx.save(m, os.path.join(out, name + ".onnx"))


def tensor(name, *dims):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, list(dims))


def cubic(out, name, rng, channels=C, side=SIDE, scales=(1, 1, 2, 2), roi=False, attrs=None, twice=False,
          conv=True, resize_attrs=None):
    inits = [numpy_helper.from_array(np.array(scales, np.float32), "scales"),
             numpy_helper.from_array(rng.standard_normal((channels, channels, 1, 1)).astype(np.float32), "w")]
    nodes = [helper.make_node("Conv", ["X", "w"], ["h"], name="/head")] if conv else \
        [helper.make_node("Relu", ["X"], ["h"], name="/head")]
    roi_name = ""
    if roi:
        inits.append(numpy_helper.from_array(np.zeros(8, np.float32), "roi"))
        roi_name = "roi"
    resize = dict(mode="cubic", coordinate_transformation_mode="half_pixel")
    resize.update(attrs or {})
    if resize_attrs is not None:
        resize = resize_attrs
    nodes.append(helper.make_node("Resize", ["h", roi_name, "scales"], ["Y"], name="/head_up", **resize))
    outputs = [tensor("Y", 1, channels, None, None)]
    if twice:
        nodes.append(helper.make_node("Conv", ["X", "w"], ["h2"], name="/head2"))
        nodes.append(helper.make_node("Resize", ["h2", "", "scales"], ["Y2"], name="/head2_up", **resize))
        outputs.append(tensor("Y2", 1, channels, None, None))
    save(out, name, nodes, [tensor("X", 1, channels, side, side)], outputs, inits)


def testdata_cubic(out):
    node = next(n for n in onnx.load(os.path.join(TESTDATA, "model.onnx")).graph.node if n.op_type == "Resize")
    attrs = {a.name: helper.get_attribute_value(a) for a in node.attribute}
    attrs = {k: v.decode() if isinstance(v, bytes) else v for k, v in attrs.items()}
    cubic(out, "cubic_testdata", np.random.default_rng(0), channels=1, side=4, resize_attrs=attrs)
    # The identity weight: the Resize sees the test's own input.
    m = onnx.load(os.path.join(out, "cubic_testdata.onnx"))
    for t in m.graph.initializer:
        if t.name == "w":
            t.CopyFrom(numpy_helper.from_array(np.ones((1, 1, 1, 1), np.float32), "w"))
    onnx.save(m, os.path.join(out, "cubic_testdata.onnx"))


def blend(out, name, rng, node_name="/s2/blend", three=False):
    inits = [numpy_helper.from_array(rng.standard_normal((8, 4)).astype(np.float32), "bw")]
    inputs = ["X", "bw"] + (["bw"] if three else [])
    node = helper.make_node("MatMul", inputs, ["Y"], name=node_name)
    save(out, name, [node], [tensor("X", 37, 8)], [tensor("Y", 37, 4)], inits)


def compose(out, name, tail=True, lip_input=False):
    inits = [numpy_helper.from_array(np.float32(1.0), "one"), numpy_helper.from_array(np.float32(0.0), "zero")]
    nodes = [helper.make_node("Clip", ["a", "zero", "one"], ["alpha"], name="/compose/alpha")]
    nodes.append(helper.make_node("Mul", ["fg", "alpha"], ["front"], name="/compose/fg"))
    if tail:
        nodes.append(helper.make_node("Sub", ["one", "alpha"], ["inv"], name="/compose/one_minus_alpha"))
    else:
        nodes.append(helper.make_node("Sub", ["alpha", "one"], ["inv"], name="/compose/alpha_minus_one"))
    nodes.append(helper.make_node("Mul", ["inv", "bg"], ["back"], name="/compose/bg"))
    nodes.append(helper.make_node("Add", ["front", "back"], ["rgb_pre"], name="/compose/rgb"))
    nodes.append(helper.make_node("Identity", ["rgb_pre"], ["rgb_id"], name="/output/id"))
    nodes.append(helper.make_node("Cast", ["rgb_id"], ["Y"], name="/output/cast", to=TensorProto.FLOAT))
    nodes.append(helper.make_node("Identity", ["alpha"], ["A"], name="/output/alpha"))
    inputs = [tensor("P_rgb", 1, 3, SIDE, SIDE), tensor("fg", 1, 3, SIDE, SIDE), tensor("bg", 1, 3, SIDE, SIDE),
              tensor("a", 1, 1, SIDE, SIDE)]
    if lip_input:
        inputs.append(tensor("lip_delivery", 1, 1, SIDE, SIDE))
    save(out, name, nodes, inputs, [tensor("Y", 1, 3, SIDE, SIDE), tensor("A", 1, 1, SIDE, SIDE)], inits)


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--out", required=True)
    out = p.parse_args().out
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(11)
    cubic(out, "cubic_a075", rng)
    cubic(out, "cubic_a050", rng, attrs=dict(cubic_coeff_a=-0.5))
    testdata_cubic(out)
    cubic(out, "cubic_scales23", rng, scales=(1, 1, 2, 3))
    cubic(out, "cubic_roi", rng, roi=True)
    cubic(out, "cubic_exclude", rng, attrs=dict(exclude_outside=1))
    cubic(out, "cubic_two", rng, twice=True)
    cubic(out, "cubic_noconv", rng, conv=False)
    blend(out, "blend", rng)
    blend(out, "blend3", rng, three=True)
    blend(out, "blend_renamed", rng, node_name="/s2/blend2")
    compose(out, "compose")
    compose(out, "compose_untailed", tail=False)
    compose(out, "compose_lip", lip_input=True)


if __name__ == "__main__":
    main()
