"""One-node graphs for the Int8ConvVNNI tests.

For every case NAME it writes into --out:
  NAME_int8.onnx   X -> com.corvamel.int8::Int8ConvVNNI (int8 W, scales, bias) -> Y
  NAME_float.onnx  X -> Conv with the dequantised weights (W x scale) and bias -> Y
  NAME_wabs.f32    per output channel, the sum of |dequantised weight| (float32)
Case "nogroup" leaves out the "group" attribute and has no float twin.
"""
import argparse
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

# name: (X shape, Cout, kernel, node attributes, attributes the float Conv sees)
CASES = {
    "odd": ((2, 7, 15, 19), 5, (3, 3),
            dict(strides=[2, 1], pads=[0, 2, 1, 1], dilations=[1, 2], group=1), None),
    "group": ((1, 12, 16, 16), 18, (3, 3),
              dict(strides=[2, 2], pads=[1, 1, 1, 1], dilations=[1, 1], group=3), None),
    # Too few values: strides and dilations become [1, 1], pads [0, 0, 0, 0].
    "short": ((1, 5, 9, 11), 6, (3, 3),
              dict(strides=[2], pads=[1, 1], dilations=[3], group=1),
              dict(strides=[1, 1], pads=[0, 0, 0, 0], dilations=[1, 1], group=1)),
    "nogroup": ((1, 4, 6, 6), 4, (3, 3),
                dict(strides=[1, 1], pads=[1, 1, 1, 1], dilations=[1, 1]), None),
}


def model(node, inits, x_shape, opsets):
    graph = helper.make_graph(
        [node], node.op_type, [helper.make_tensor_value_info("X", TensorProto.FLOAT, list(x_shape))],
        [helper.make_tensor_value_info("Y", TensorProto.FLOAT, None)], inits)
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid(d, v) for d, v in opsets])
    m.ir_version = 8
    return m


def write_case(out, name, x_shape, cout, kernel, attrs, float_attrs, rng):
    group = attrs.get("group", 1)
    w = rng.integers(-128, 128, size=(cout, x_shape[1] // group) + kernel, dtype=np.int8)
    scale = rng.uniform(0.001, 0.02, size=cout).astype(np.float32)
    bias = rng.uniform(-1, 1, size=cout).astype(np.float32)
    inits = [numpy_helper.from_array(w, "W"), numpy_helper.from_array(scale, "W_scale"),
             numpy_helper.from_array(bias, "B")]
    node = helper.make_node("Int8ConvVNNI", ["X", "W", "W_scale", "B"], ["Y"], domain="com.corvamel.int8", **attrs)
    onnx.save(model(node, inits, x_shape, [("", 17), ("com.corvamel.int8", 1)]), os.path.join(out, name + "_int8.onnx"))
    if "group" not in attrs:
        return
    wf = w.astype(np.float32) * scale[:, None, None, None]
    conv = helper.make_node("Conv", ["X", "Wf", "B"], ["Y"], **(float_attrs or attrs))
    onnx.save(model(conv, [numpy_helper.from_array(wf, "Wf"), inits[2]], x_shape, [("", 17)]),
              os.path.join(out, name + "_float.onnx"))
    np.abs(wf).reshape(cout, -1).sum(axis=1).astype("<f4").tofile(os.path.join(out, name + "_wabs.f32"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    out = ap.parse_args().out
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(7)
    for name, case in CASES.items():
        write_case(out, name, *case, rng)


if __name__ == "__main__":
    main()
