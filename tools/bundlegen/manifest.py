"""manifest.json of a generated bundle.

The engine reads it with a lexical key scanner, not a JSON parser: a key it
reads must occur once as a scalar (nested blocks must not reuse NT/frame_count,
H, W, crop/crop_size, amount, sigma, ksize, frames, M_src_w/paste_source_width
or M_src_h/paste_source_height), so every value here is written flat at the
top level unless a test variant asks for a nested or ambiguous key.
"""
import json

FORMAT = "le-bundle-v0"

# paste-space stamp variants: the keys written for (width, height)
STAMPS = ("msrc", "paste_source", "mixed", "both", "conflicting", "missing", "zero")


def stamp_keys(mode, src_w, src_h):
    """Ordered (key, value) pairs of the paste-space stamp.

    "conflicting" writes the correct size under M_src_w/M_src_h and twice that
    under paste_source_width/height: the M_src pair is the one that counts.
    """
    if mode == "msrc":
        return [("M_src_w", src_w), ("M_src_h", src_h)]
    if mode == "paste_source":
        return [("paste_source_width", src_w), ("paste_source_height", src_h)]
    if mode == "mixed":
        return [("M_src_w", src_w), ("paste_source_height", src_h)]
    if mode == "both":
        return [("M_src_w", src_w), ("M_src_h", src_h),
                ("paste_source_width", src_w), ("paste_source_height", src_h)]
    if mode == "conflicting":
        return [("M_src_w", src_w), ("M_src_h", src_h),
                ("paste_source_width", 2 * src_w), ("paste_source_height", 2 * src_h)]
    if mode == "zero":
        return [("M_src_w", 0), ("M_src_h", src_h)]
    if mode == "missing":
        return []
    raise ValueError(f"unknown stamp mode {mode}")


def build(fields, stamp, optional, nested=(), ambiguous=(), overrides=(), removed=()):
    """Manifest text.

    fields: ordered (key, value) of the required keys; stamp: (key, value) of
    the stamp; optional: (key, value) of optional keys.  nested keys are
    repeated inside one nested block (with a different value, so a reader that
    picks the nested one is caught); ambiguous keys are moved into two nested
    blocks and dropped from the top level.  overrides: (key, value) set last;
    removed: keys deleted.
    """
    doc = dict(fields)
    doc.update(stamp)
    doc.update(optional)
    for key, value in overrides:
        doc[key] = value
    for key in removed:
        doc.pop(key, None)
    if nested:
        doc["calibration"] = {k: _other(doc.get(k, 1)) for k in nested}
    if ambiguous:
        values = {k: doc.pop(k, 1) for k in ambiguous}
        doc["calibration_a"] = dict(values)
        doc["calibration_b"] = {k: _other(v) for k, v in values.items()}
    return json.dumps(doc, indent=1, ensure_ascii=False) + "\n"


def _other(value):
    return value + 1000 if isinstance(value, (int, float)) else f"{value}-nested"


def parse_value(text):
    """A --set value: JSON when it parses, else the text as a string."""
    try:
        return json.loads(text)
    except ValueError:
        return text
