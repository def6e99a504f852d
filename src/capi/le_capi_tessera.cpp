// C entry points of the mouth borrow's members: the carriage and the read,
// cross-checked members. Failures fill the caller's error buffer.
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "bundle/le_tessera_members.h"
#include "kernels/le_c_error.h"
#include "le/le_tessera.h"

struct le_tessera_carriage {
  le::TesseraCarriage c;
};

struct le_tessera_members {
  le::TesseraAttachInputs in;
};

namespace {

// What a bundle whose path cannot even be resolved carries: nothing.
le::TesseraCarriage emptyCarriage() {
  le::TesseraCarriage c;
  for (const char* key : le::tesseraSlotKeys()) c.missing.emplace_back(key);
  return c;
}

using Inputs = le::TesseraAttachInputs;

// An array member's first element; NULL for a NULL handle or an empty array.
template <class T>
const T* arrayOf(const le_tessera_members* m, std::vector<T> Inputs::*field) {
  return m && !(m->in.*field).empty() ? (m->in.*field).data() : nullptr;
}

// A string member; "" for a NULL handle.
const char* textOf(const le_tessera_members* m, std::string Inputs::*field) { return m ? (m->in.*field).c_str() : ""; }

}  // namespace

extern "C" {

LE_API int le_tessera_slot_count(void) { return le::tesseraSlotCount(); }

LE_API const char* le_tessera_slot_key(int index) {
  if (index < 0 || index >= le::tesseraSlotCount()) return nullptr;
  return le::tesseraSlotKeys()[static_cast<size_t>(index)];
}

LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  try {
    auto h = std::make_unique<le_tessera_carriage>();
    try {
      h->c = le::tesseraCarriage(std::string(bundle_dir));
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {  // an unresolvable path carries no member
      h->c = emptyCarriage();
    }
    return h.release();
  } catch (...) {  // out of memory
    return nullptr;
  }
}

LE_API void le_tessera_carriage_close(le_tessera_carriage* c) { delete c; }

LE_API int le_tessera_carriage_complete(const le_tessera_carriage* c) { return c && c->c.complete ? 1 : 0; }

LE_API int le_tessera_carriage_declared(const le_tessera_carriage* c) { return c && c->c.declared ? 1 : 0; }

LE_API const char* le_tessera_carriage_path(const le_tessera_carriage* c, const char* slot) {
  const int i = slot ? le::tesseraSlotIndex(slot) : -1;
  return c && i >= 0 ? c->c.path[static_cast<size_t>(i)].c_str() : "";
}

LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* c) {
  return c ? static_cast<int>(c->c.missing.size()) : 0;
}

LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int index) {
  if (!c || index < 0 || static_cast<size_t>(index) >= c->c.missing.size()) return nullptr;
  return c->c.missing[static_cast<size_t>(index)].c_str();
}

LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int err_len) {
  if (!bundle_dir) {
    le::fillErrBuf(err, err_len, "le_tessera_members_open: null bundle_dir");
    return nullptr;
  }
  try {
    return new le_tessera_members{le::loadTesseraMembers(std::string(bundle_dir))};
  } catch (const std::bad_alloc&) {
    le::fillErrBuf(err, err_len, "le_tessera_members_open: out of memory");
  } catch (const std::exception& e) {
    le::fillErrBuf(err, err_len, e.what());
  } catch (...) {
    le::fillErrBuf(err, err_len, "le_tessera_members_open: unknown failure");
  }
  return nullptr;
}

LE_API void le_tessera_members_close(le_tessera_members* m) { delete m; }

LE_API int le_tessera_members_n_donors(const le_tessera_members* m) { return m ? m->in.n_donors : 0; }

LE_API const double* le_tessera_members_cent(const le_tessera_members* m) { return arrayOf(m, &Inputs::cent); }

LE_API const double* le_tessera_members_c_canon(const le_tessera_members* m) {
  return m ? m->in.c_canon.data() : nullptr;
}

LE_API const double* le_tessera_members_aperture(const le_tessera_members* m) { return arrayOf(m, &Inputs::aperture); }

LE_API const int32_t* le_tessera_members_stamp(const le_tessera_members* m) { return m ? m->in.stamp.data() : nullptr; }

LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m) { return arrayOf(m, &Inputs::head_pt); }

LE_API uint32_t le_tessera_members_head_pt_len(const le_tessera_members* m) {
  return m ? static_cast<uint32_t>(m->in.head_pt.size()) : 0;
}

LE_API const char* le_tessera_members_head_json(const le_tessera_members* m) { return textOf(m, &Inputs::head_json); }

LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* m) {
  return textOf(m, &Inputs::manifest_json);
}

LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* m) {
  return textOf(m, &Inputs::bank_track_path);
}

LE_API const char* le_tessera_members_bank_container(const le_tessera_members* m) {
  return textOf(m, &Inputs::bank_container);
}

LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* m) { return textOf(m, &Inputs::bank_codec); }

LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m) {
  return textOf(m, &Inputs::bank_pix_fmt);
}

LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* m) {
  return textOf(m, &Inputs::bank_packing);
}

LE_API int le_tessera_members_band_w(const le_tessera_members* m) { return m ? m->in.band_w : 0; }

LE_API int le_tessera_members_band_h(const le_tessera_members* m) { return m ? m->in.band_h : 0; }

LE_API uint64_t le_tessera_members_band_bytes(const le_tessera_members* m) { return m ? m->in.bandBytes() : 0; }

LE_API int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* src, uint8_t* dst, char* err,
                                      int err_len) {
  if (!m || !src || !dst) {
    le::fillErrBuf(err, err_len, "le_tessera_members_reorder: null argument");
    return 1;
  }
  try {
    le::reorderTrackToDonor(m->in, src, dst);
    return 0;
  } catch (const std::exception& e) {
    le::fillErrBuf(err, err_len, e.what());
  } catch (...) {
    le::fillErrBuf(err, err_len, "le_tessera_members_reorder: unknown failure");
  }
  return 1;
}

}  // extern "C"
