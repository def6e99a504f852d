// Writes the seed corpus of the fuzz targets into OUT/<target>/, replacing
// what was there: JSON documents, manifests, IMX containers packed from small
// bundles, ONNX models (a director-style GridSample written here, and ONNX's
// test models where the package is installed), and the mouth members (the
// manifest's unified block, lip templates, donor bank sidecars, the blend
// head's weights and serve config) of the generated bundles and head fixture
// directories named after OUT, with a few written here.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "../tests/gridsample_graph.h"
#include "bundle/le_imx.h"
#include "driver/le_files.h"

namespace {

namespace fs = std::filesystem;

void put(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

const char* const kJson[] = {
    R"({"format": "tessera_bank.v1", "donors": [{"id": 1, "rect": [0, 0, 64, 64]}], "scale": 0.5e1})",
    R"([true, false, null, -1.25e-3, "a\u00e9\n\"b", {}, [], {"k": {"k": [1, 2]}}, "k"])",
    R"({"dup": 1, "dup": 2, "nocolon" 3, "s": "unterminated)",
    "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
};

// Meta files of the audio models: the streaming encoder's and a motion directory's.
const char* const kAudioMeta[] = {
    R"({"h": 256, "window": 2, "left": 8, "layers": 6, "silence_prime": 25, "width": true})",
    R"({"h":64,"window":0,"left":3,"width":	1, "note": "\"h\": -1"})",
    R"({"nt": 100, "n_src": 100, "n_emo": 4, "s_bridge": 1.0, "delta_pitch": -2.5e-1})",
    R"({"nt" 100, "n_src": "100", "n_emo": 0x10, "delta_pitch": nan})",
};

const char* const kManifest[] = {
    R"({"format": "le-bundle-v0", "agent": "ada", "NT": 12, "W": 160, "H": 120, "crop": 64,
 "amount": 1.3, "sigma": 2.0, "ksize": 13, "frames": 24, "M_src_w": 320, "M_src_h": 240,
 "target_frames": "target_frames", "P_hevc": "P_hevc.mov"})",
    R"({"format": "le-bundle-v0", "agent": "ada", "frame_count": 40, "W": 1920, "H": 1080,
 "crop_size": 512, "unsharp": {"sigma": 1}, "amount": 1.3, "sigma": 2.0, "ksize": 13,
 "frames": 100, "paste_source_width": 1920, "M_src_h": 1080, "tessera": {"W": [1, 2]}})",
    R"({"format": "le-bundle-v0", "agent": "x\"y", "NT": 1, "a": {"W": 5}, "b": {"W": 6}, "H": 1})",
};

// Compose geometries the generator does not write: the other corner rules, a
// corpus row's geometry, refusals.
const char* const kUnifiedPi[] = {
    R"({"unified": {"pi": {"mode": "prop", "corner_recovery": true, "prop_gate_scale": 1.5,
 "lip_idx": [6, 12, 14, 17], "lip_geom_params": [0.10, 0.08, 0.074]}, "crop": {"canvas": 64}}})",
    R"({"unified": {"pi": {"mode": "prop", "prop_gate_scale": 0.5, "lip_idx": [19.5, 20],
 "lip_geom_params": [0.14, 0.08, 0.074]}}})",
    R"({"unified": {"pi": {"mode": "ellipse", "corner_recovery": "corners"}, "crop": {"canvas": 512}}})",
};

// Lip templates beside the generated ones: the edge forms, a small map.
const char* const kLipTemplate[] = {
    R"({"format": "lip-template-v1", "edge": "inward", "canvas": 64, "feather_px": 2.5,
 "u_canon": [[1, 0], [0, -1], [-1, 0], [0, 1]], "lip_idx": [12, 14, 6, 17],
 "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": [12, 14],
 "W": [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1], [0.5, 0, 0.5, 0], [0, 0.5, 0, 0.5],
 [0, 0, 0, 0], [0, 0, 0, 0]], "b": [0, 0, 0, 0, 0, -3, 0, 3], "canvas": 64}})",
    R"({"format": "lip-template-v1", "edge": "outward", "canvas": 64, "feather_px": 0,
 "u_canon": [[1, 0], [0, 1, 2]], "lip_idx": [21]})",
};

// Donor bank sidecars, each optionally followed by a NUL and the manifest it
// is checked against: the plain form, a manifest that restates the stamp and
// overrides the track's strings, and refusals (a repeated donor, no pixel
// format, a stamp the manifest disagrees with).
std::vector<std::string> tesseraSidecars() {
  const std::string geometry =
      R"({"canvas_w": 64, "canvas_h": 64, "window_x0": 16, "window_y0": 32, "window_w": 32, "window_h": 24,
 "pad": 4, "band_r0": 6, "band_r1": 18, "band_c0": 4, "band_c1": 28, "shift_margin": 2})";
  const std::string bank = R"({"format": "tessera_bank.v1", "geometry": )" + geometry + R"(, "n_donors": 3,
 "track_order": [2, 0, 1], "cent": [[30.5, 40.25], [31, 41], [29.75, 39.5]], "aperture": [0.1, 0.5, 0.9],
 "c_canon": [30, 40], "codec": {"codec": "h264", "pix_fmt": "rgb24"}})";
  const std::string manifest = R"({"format": "le-bundle-v0", "crop": 64, "tessera": {"geometry": )" + geometry +
                               R"(, "bank_container": "mkv", "bank_pix_fmt": "gbrp", "planes": ["stream"]}})";
  return {
      bank,
      bank + '\0' + manifest,
      R"({"format": "tessera_bank.v1", "geometry": )" + geometry +
          R"(, "n_donors": 2, "track_order": [1, 1], "cent": [[0, 0], [1, 1]], "aperture": [0, 0], "c_canon": [0, 0]})",
      R"({"format": "tessera_bank.v1", "geometry": )" + geometry +
          R"(, "n_donors": 1, "track_order": [0], "cent": [[0, 0]], "aperture": [1], "c_canon": [0, 0]})",
      bank + '\0' + R"({"tessera": {"geometry": {"canvas_w": 64, "canvas_h": 65}}})",
  };
}

// Serve configs beside the generated one: other kinds, a missing key, the
// envelope check.
const char* const kServeConfig[] = {
    R"({"schema": "tessera_head.v1", "retrieval": {"kshort": 3.9e2, "aperture_tol": "0.3", "cut": -1, "K": 1e10},
 "temporal": {"hysteresis": true, "lookahead": null}, "decode": {"envelope_clamp_255": 12.0000001}})",
    R"({"retrieval": {"kshort": 512, "aperture_tol": 0.3, "cut": 96}, "temporal": {"hysteresis": 8, "lookahead": 8}})",
    R"({"retrieval": {"kshort": 1, "aperture_tol": 0, "cut": 1, "K": 1}, "temporal": {"hysteresis": 0,
 "lookahead": 0}, "decode": {"envelope_clamp_255": 13}})",
};

// Small bundles, each packed into one container.
std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> bundles() {
  return {
      {"avatar",
       {{"manifest.json", kManifest[0]},
        {"paste_mask.u8", std::string(64, '\x80')},
        {"drive/si.i32", std::string(8, '\0')},
        {"target_frames/000001.jpg", "jpg"}}},
      {"empty", {}},
      {"synthetic", {{"manifest.json", R"({"_imx_synthetic_manifest": true})"}, {"a/b/c", "c"}}},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fuzz_corpus OUT [BUNDLE_OR_HEAD_DIR...]\n");
    return 2;
  }
  const fs::path out = argv[1];
  // Written afresh: an input left from an older generator is no seed.
  for (const char* target : {"json", "manifest", "imx", "onnx_wire", "audio_meta", "unified_pi", "lip_template",
                             "tessera_sidecar", "head_pt", "serve_config"})
    fs::remove_all(out / target);
  int n = 0;
  for (const char* doc : kUnifiedPi) put(out / "unified_pi" / std::to_string(n++), doc);
  for (const char* doc : kLipTemplate) put(out / "lip_template" / std::to_string(n++), doc);
  for (const std::string& doc : tesseraSidecars()) put(out / "tessera_sidecar" / std::to_string(n++), doc);
  for (const char* doc : kServeConfig) put(out / "serve_config" / std::to_string(n++), doc);
  for (int i = 2; i < argc; ++i) {
    const fs::path dir = argv[i];
    const std::string name = dir.filename().string();
    bool seeded = false;
    if (fs::exists(dir / "manifest.json")) {
      put(out / "unified_pi" / name, le::readFile((dir / "manifest.json").string()));
      if (fs::exists(dir / "lip_template.v1.json"))
        put(out / "lip_template" / name, le::readFile((dir / "lip_template.v1.json").string()));
      if (fs::exists(dir / "tessera_bank.v1.json"))
        put(out / "tessera_sidecar" / name, le::readFile((dir / "tessera_bank.v1.json").string()) + '\0' +
                                                le::readFile((dir / "manifest.json").string()));
      seeded = true;
    }
    // Every weights file (the head fixtures' broken ones too) and the serve config.
    for (const auto& e : fs::is_directory(dir) ? fs::directory_iterator(dir) : fs::directory_iterator()) {
      const std::string file = e.path().filename().string();
      const bool weights = e.path().extension() == ".pt", config = file == "tessera_head.v1.json";
      if (!e.is_regular_file() || !(weights || config)) continue;
      put(out / (weights ? "head_pt" : "serve_config") / (name + "_" + file), le::readFile(e.path().string()));
      seeded = true;
    }
    if (!seeded) {
      std::fprintf(stderr, "fuzz_corpus: %s holds no bundle and no head members\n", argv[i]);
      return 1;
    }
  }
  for (const char* doc : kJson) put(out / "json" / std::to_string(n++), doc);
  for (const char* doc : kManifest) put(out / "manifest" / std::to_string(n++), doc);
  for (const char* doc : kAudioMeta) put(out / "audio_meta" / std::to_string(n++), doc);
  const fs::path scratch = out / "bundles";
  for (const auto& [name, files] : bundles()) {
    fs::create_directories(scratch / name);
    for (const auto& [rel, bytes] : files) put(scratch / name / rel, bytes);
    fs::create_directories(out / "imx");
    le::packImx((scratch / name).string(), (out / "imx" / (name + ".imx")).string());
  }
  fs::remove_all(scratch);
  const auto gs = le::testing::gridSampleModel(le::testing::directorGridSampleAttrs(), 1, 12, 64, 64);
  put(out / "onnx_wire" / "gridsample.onnx", std::string(gs.begin(), gs.end()));
  const fs::path onnxData = "/usr/share/libonnx-testdata/data/node";
  for (const char* name :
       {"test_gridsample_border_padding", "test_if", "test_constant", "test_resize_upsample_scales_cubic"})
    if (fs::exists(onnxData / name / "model.onnx"))
      fs::copy_file(onnxData / name / "model.onnx", out / "onnx_wire" / (std::string(name) + ".onnx"),
                    fs::copy_options::overwrite_existing);
  return 0;
}
