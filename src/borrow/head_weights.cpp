#include "borrow/head_weights.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace le::tessera {

namespace {

[[noreturn]] void fail(const std::string& msg) { throw std::runtime_error(msg); }

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// ---- ZIP container -------------------------------------------------------

struct Entry {
  std::string_view name;
  std::span<const uint8_t> data;
};

// Every entry of the archive, each proven to lie inside it.
std::vector<Entry> zipEntries(std::span<const uint8_t> zip) {
  const uint8_t* p = zip.data();
  const size_t n = zip.size();
  if (n < 22) fail("teeth: head .pt is not a zip");
  size_t eocd = n - 22;
  while (u32(p + eocd) != 0x06054b50) {
    if (eocd == 0) fail("teeth: head .pt has no zip EOCD");
    --eocd;
  }
  const size_t count = u16(p + eocd + 10);
  size_t pos = u32(p + eocd + 16);
  std::vector<Entry> entries;
  entries.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (pos > n || n - pos < 46 || u32(p + pos) != 0x02014b50)
      fail("teeth: head .pt central directory is malformed");
    const uint8_t* h = p + pos;
    const size_t nameLen = u16(h + 28);
    if (n - pos - 46 < nameLen) fail("teeth: head .pt central directory is malformed");
    if (u16(h + 10) != 0)
      fail("teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");
    const size_t local = u32(h + 42);
    if (local > n || n - local < 30) fail("teeth: head .pt local header out of range");
    const size_t start = local + 30 + u16(p + local + 26) + u16(p + local + 28);
    const size_t len = u32(h + 24) != 0 ? u32(h + 24) : u32(h + 20);
    if (start > n || len > n - start) fail("teeth: head .pt entry out of range");
    entries.push_back({{reinterpret_cast<const char*>(h + 46), nameLen}, zip.subspan(start, len)});
    pos += 46 + nameLen + u16(h + 30) + u16(h + 32);
  }
  return entries;
}

// ---- Pickle machine ------------------------------------------------------

// A pickled value. Strings, tuples and tensors live in the machine's arenas
// and values name them by index, so copies (memo gets) are cheap and no
// value owns a tree that would need recursion to copy or free.
struct Val {
  enum Kind : uint8_t { None, Bool, Int, Str, Tuple, Dict, Global, Storage, Tensor };
  Kind kind = None;
  int64_t num = 0;   // Bool, Int
  uint32_t ref = 0;  // Str, Global, Storage: a string; Tuple: a tuple; Tensor: a tensor
};

struct TensorRef {
  uint32_t storage;  // the storage key, a string
  int64_t offset;    // in elements
  std::vector<int64_t> shape;
};

class Machine {
 public:
  explicit Machine(std::span<const uint8_t> program) : p_(program.data()), end_(program.data() + program.size()) {}

  // Runs the program; the (key, value) pairs every SETITEM and SETITEMS
  // stored, in order.
  const std::vector<std::pair<Val, Val>>& run();

  const std::string& str(const Val& v) const { return strings_[v.ref]; }
  const std::string& storageKey(const TensorRef& t) const { return strings_[t.storage]; }
  const TensorRef& tensor(const Val& v) const { return tensors_[v.ref]; }

 private:
  const uint8_t* take(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) fail("teeth: pickle truncated");
    const uint8_t* at = p_;
    p_ += n;
    return at;
  }
  std::string line() {
    const void* nl = std::memchr(p_, '\n', static_cast<size_t>(end_ - p_));
    if (!nl) fail("teeth: pickle truncated");
    std::string s(reinterpret_cast<const char*>(p_), static_cast<const uint8_t*>(nl) - p_);
    p_ = static_cast<const uint8_t*>(nl) + 1;
    return s;
  }
  // The stack above the innermost mark; nothing below it may be popped.
  size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }
  Val pop() {
    if (stack_.size() <= fence()) fail("teeth: pickle stack underflow");
    Val v = stack_.back();
    stack_.pop_back();
    return v;
  }
  const Val& top() const {
    if (stack_.size() <= fence()) fail("teeth: pickle stack underflow");
    return stack_.back();
  }
  // The values above the innermost mark, which is dropped.
  std::vector<Val> popMark() {
    if (marks_.empty()) fail("teeth: pickle stack underflow");
    const size_t m = marks_.back();
    marks_.pop_back();
    std::vector<Val> items(stack_.begin() + static_cast<std::ptrdiff_t>(m), stack_.end());
    stack_.resize(m);
    return items;
  }
  Val text(Val::Kind kind, std::string s) {
    strings_.push_back(std::move(s));
    return {kind, 0, static_cast<uint32_t>(strings_.size() - 1)};
  }
  Val tuple(std::vector<Val> items) {
    tuples_.push_back(std::move(items));
    return {Val::Tuple, 0, static_cast<uint32_t>(tuples_.size() - 1)};
  }
  void push(Val v) { stack_.push_back(v); }
  void get(uint32_t index, const char* missing) {
    const auto it = memo_.find(index);
    if (it == memo_.end()) fail(missing);
    push(it->second);
  }
  // A value as a message names it.
  std::string describe(const Val& v) const;
  void reduce();
  void persistentId();

  const uint8_t* p_;
  const uint8_t* end_;
  std::vector<Val> stack_;
  std::vector<size_t> marks_;
  std::unordered_map<uint32_t, Val> memo_;
  std::vector<std::string> strings_;
  std::vector<std::vector<Val>> tuples_;
  std::vector<TensorRef> tensors_;
  std::vector<std::pair<Val, Val>> dict_;
};

std::string Machine::describe(const Val& v) const {
  switch (v.kind) {
    case Val::Str:
    case Val::Global:
    case Val::Storage:
      return str(v);
    case Val::Int:
      return std::to_string(v.num);
    case Val::Bool:
      return v.num ? "True" : "False";
    case Val::Tuple:
      return "a tuple";
    case Val::Dict:
      return "a dict";
    case Val::Tensor:
      return "a tensor";
    case Val::None:
      break;
  }
  return "None";
}

void Machine::reduce() {
  const Val args = pop();
  const Val fn = pop();
  const std::string name = describe(fn);
  if (fn.kind == Val::Global && name == "collections OrderedDict") {
    push({Val::Dict, 0, 0});
    return;
  }
  if (fn.kind != Val::Global || name != "torch._utils _rebuild_tensor_v2")
    fail("teeth: head .pt calls " + name + " — this reader refuses code it does not model");
  // (storage, storage offset, size, stride, ...): the data are contiguous
  // from the offset, so the stride is only checked for its kind.
  const auto malformed = [] { fail("teeth: malformed _rebuild_tensor_v2"); };
  if (args.kind != Val::Tuple) malformed();
  const std::vector<Val>& a = tuples_[args.ref];
  if (a.size() < 4 || a[0].kind != Val::Storage || a[1].kind != Val::Int || a[1].num < 0 || a[2].kind != Val::Tuple ||
      a[3].kind != Val::Tuple)
    malformed();
  TensorRef t{a[0].ref, a[1].num, {}};
  for (const Val& d : tuples_[a[2].ref]) {
    if (d.kind != Val::Int) malformed();
    t.shape.push_back(d.num);
  }
  tensors_.push_back(std::move(t));
  push({Val::Tensor, 0, static_cast<uint32_t>(tensors_.size() - 1)});
}

void Machine::persistentId() {
  const Val pid = pop();
  const std::vector<Val>* t = pid.kind == Val::Tuple ? &tuples_[pid.ref] : nullptr;
  if (!t || t->size() < 5 || (*t)[0].kind != Val::Str || str((*t)[0]) != "storage" || (*t)[2].kind != Val::Str)
    fail("teeth: unexpected persistent id in head .pt");
  const Val& type = (*t)[1];
  if (type.kind != Val::Global || str(type) != "torch FloatStorage")
    fail("teeth: head .pt storage is " + describe(type) + ", not torch FloatStorage — refusing to reinterpret it");
  push({Val::Storage, 0, (*t)[2].ref});
}

const std::vector<std::pair<Val, Val>>& Machine::run() {
  while (p_ < end_) {
    const uint8_t op = *take(1);
    switch (op) {
      case 0x80:  // PROTO
        take(1);
        break;
      case 0x28:  // MARK
        marks_.push_back(stack_.size());
        break;
      case 0x2e:  // STOP
        return dict_;
      case 0x29:  // EMPTY_TUPLE
        push(tuple({}));
        break;
      case 0x74:  // TUPLE
        push(tuple(popMark()));
        break;
      case 0x85:  // TUPLE1
      case 0x86:  // TUPLE2
      case 0x87: {  // TUPLE3
        std::vector<Val> items(op - 0x84);
        for (size_t i = items.size(); i-- > 0;) items[i] = pop();
        push(tuple(std::move(items)));
        break;
      }
      case 0x7d:  // EMPTY_DICT
        push({Val::Dict, 0, 0});
        break;
      case 0x73: {  // SETITEM
        const Val value = pop();
        const Val key = pop();
        dict_.emplace_back(key, value);
        break;
      }
      case 0x75: {  // SETITEMS
        const std::vector<Val> items = popMark();
        if (items.size() % 2 != 0) fail("teeth: pickle SETITEMS holds a key without a value");
        for (size_t i = 0; i < items.size(); i += 2) dict_.emplace_back(items[i], items[i + 1]);
        break;
      }
      case 0x4a:  // BININT
        push({Val::Int, static_cast<int32_t>(u32(take(4))), 0});
        break;
      case 0x4b:  // BININT1
        push({Val::Int, *take(1), 0});
        break;
      case 0x4d:  // BININT2
        push({Val::Int, u16(take(2)), 0});
        break;
      case 0x4e:  // NONE
        push({});
        break;
      case 0x88:  // NEWTRUE
      case 0x89:  // NEWFALSE
        push({Val::Bool, op == 0x88, 0});
        break;
      case 0x58: {  // BINUNICODE
        const size_t len = u32(take(4));
        const uint8_t* s = take(len);
        push(text(Val::Str, std::string(reinterpret_cast<const char*>(s), len)));
        break;
      }
      case 0x63: {  // GLOBAL
        std::string mod = line();
        push(text(Val::Global, mod + " " + line()));
        break;
      }
      case 0x71: {  // BINPUT
        const uint32_t index = *take(1);
        memo_[index] = top();
        break;
      }
      case 0x72: {  // LONG_BINPUT
        const uint32_t index = u32(take(4));
        memo_[index] = top();
        break;
      }
      case 0x68:  // BINGET
        get(*take(1), "teeth: pickle BINGET out of range");
        break;
      case 0x6a:  // LONG_BINGET
        get(u32(take(4)), "teeth: pickle LONG_BINGET out of range");
        break;
      case 0x51:  // BINPERSID
        persistentId();
        break;
      case 0x52:  // REDUCE
        reduce();
        break;
      case 0x62:  // BUILD: the state it would set is not modelled
        break;
      default: {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", op);
        fail(std::string("teeth: unsupported pickle opcode 0x") + hex + " in head .pt");
      }
    }
  }
  return dict_;
}

// ---- Parameters ----------------------------------------------------------

struct Param {
  const char* name;
  std::vector<float> HeadWeights::*field;
  std::array<int64_t, 4> shape;  // trailing zeros are absent dimensions
};

constexpr int kCandParams = 6;
const Param kParams[] = {
    {"cand.0.weight", &HeadWeights::cand0_w, {16, 7, 3, 3}}, {"cand.0.bias", &HeadWeights::cand0_b, {16}},
    {"cand.2.weight", &HeadWeights::cand2_w, {16, 16, 3, 3}}, {"cand.2.bias", &HeadWeights::cand2_b, {16}},
    {"cand.4.weight", &HeadWeights::cand4_w, {1, 16, 3, 3}}, {"cand.4.bias", &HeadWeights::cand4_b, {1}},
    {"syn.0.weight", &HeadWeights::syn0_w, {16, 3, 3, 3}},   {"syn.0.bias", &HeadWeights::syn0_b, {16}},
    {"syn.2.weight", &HeadWeights::syn2_w, {1, 16, 3, 3}},   {"syn.2.bias", &HeadWeights::syn2_b, {1}},
};

std::vector<int64_t> dims(const Param& p) {
  std::vector<int64_t> d;
  for (const int64_t v : p.shape)
    if (v != 0) d.push_back(v);
  return d;
}

size_t count(const std::vector<int64_t>& shape) {
  size_t n = 1;
  for (const int64_t d : shape) n *= static_cast<size_t>(d);
  return n;
}

bool endsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

uint32_t HeadWeights::params() const {
  size_t n = 0;
  for (const Param& p : kParams) n += (this->*p.field).size();
  return static_cast<uint32_t>(n);
}

HeadWeights loadHeadPt(std::span<const uint8_t> bytes) {
  const std::vector<Entry> entries = zipEntries(bytes);
  const Entry* pickle = nullptr;
  for (const Entry& e : entries)
    if (e.name.size() > 8 && endsWith(e.name, "/data.pkl")) pickle = &e;
  if (!pickle) fail("teeth: head .pt has no data.pkl");

  Machine m(pickle->data);
  const std::vector<std::pair<Val, Val>>& dict = m.run();
  if (dict.empty()) fail("teeth: head .pt state_dict is empty");
  const auto named = [&](const char* name) {
    std::vector<const Val*> values;
    for (const auto& [key, value] : dict)
      if (key.kind == Val::Str && m.str(key) == name) values.push_back(&value);
    return values;
  };

  HeadWeights w;
  const bool syn = !named("syn.0.weight").empty();
  for (int i = 0; i < (syn ? static_cast<int>(std::size(kParams)) : kCandParams); ++i) {
    const Param& p = kParams[i];
    const std::vector<const Val*> values = named(p.name);
    if (values.size() > 1)
      fail(std::string("teeth: head .pt names '") + p.name + "' " + std::to_string(values.size()) +
           " times — ambiguous");
    if (values.empty()) fail(std::string("teeth: head .pt lacks '") + p.name + "'");
    if (values[0]->kind != Val::Tensor) fail(std::string("teeth: '") + p.name + "' is not a tensor");
    const TensorRef& t = m.tensor(*values[0]);
    const std::vector<int64_t> want = dims(p);
    if (t.shape != want) {
      std::string shape;
      for (size_t d = 0; d < t.shape.size(); ++d) shape += (d ? "," : "") + std::to_string(t.shape[d]);
      fail(std::string("teeth: head '") + p.name + "' has shape [" + shape + "] — not the BlendHead(16) arch");
    }
    const std::string& key = m.storageKey(t);
    const Entry* storage = nullptr;
    for (const Entry& e : entries)
      if (endsWith(e.name, "/data/" + key)) {
        storage = &e;
        break;
      }
    if (!storage) fail("teeth: head storage " + key + " missing");
    // The offset is below 2^31 (a pickled int), so this cannot wrap.
    const size_t n = count(want);
    const uint64_t offset = static_cast<uint64_t>(t.offset);
    if ((offset + n) * 4 > storage->data.size()) fail("teeth: head storage " + key + " too small");
    // Storages are little-endian float32, as is this machine.
    std::vector<float>& dst = w.*p.field;
    dst.resize(n);
    std::memcpy(dst.data(), storage->data.data() + offset * 4, n * 4);
  }
  const uint32_t total = w.params();
  if (total != 4082 && total != 3489)
    fail("teeth: head has " + std::to_string(total) +
         " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  return w;
}

}  // namespace le::tessera
