#include "bundle/le_json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace le::tessera::json {

namespace {

bool hasChildren(const JVal& v) { return !v.arr.empty() || !v.obj.empty(); }

// Copies everything but the children, and sizes the child lists.
void copyShallow(const JVal& src, JVal& dst) {
  dst.kind = src.kind;
  dst.b = src.b;
  dst.num = src.num;
  dst.s = src.s;
  dst.arr.resize(src.arr.size());
  dst.obj.resize(src.obj.size());
  for (size_t i = 0; i < src.obj.size(); ++i) dst.obj[i].first = src.obj[i].first;
}

[[noreturn]] void fail(const char* msg) { throw std::runtime_error(msg); }

}  // namespace

JVal::JVal(const JVal& o) {
  std::vector<std::pair<const JVal*, JVal*>> todo{{&o, this}};
  while (!todo.empty()) {
    auto [src, dst] = todo.back();
    todo.pop_back();
    copyShallow(*src, *dst);
    for (size_t i = 0; i < src->arr.size(); ++i) todo.emplace_back(&src->arr[i], &dst->arr[i]);
    for (size_t i = 0; i < src->obj.size(); ++i) todo.emplace_back(&src->obj[i].second, &dst->obj[i].second);
  }
}

JVal& JVal::operator=(const JVal& o) {
  if (this != &o) *this = JVal(o);
  return *this;
}

JVal::~JVal() {
  if (!hasChildren(*this)) return;
  // Detach grandchildren into a flat list so no destructor recurses deeper
  // than one level.
  std::vector<JVal> pending;
  auto detach = [&pending](JVal& v) {
    for (auto& c : v.arr)
      if (hasChildren(c)) pending.push_back(std::move(c));
    for (auto& kv : v.obj)
      if (hasChildren(kv.second)) pending.push_back(std::move(kv.second));
    v.arr.clear();
    v.obj.clear();
  };
  detach(*this);
  while (!pending.empty()) {
    JVal v = std::move(pending.back());
    pending.pop_back();
    detach(v);
  }
}

const JVal* JVal::find(const std::string& key) const {
  for (const auto& kv : obj)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

const JVal& JVal::req(const std::string& key) const {
  if (const JVal* v = find(key)) return *v;
  throw std::runtime_error("teeth: member JSON lacks key '" + key + "'");
}

std::string numberText(double v) {
  char buf[64];
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e15)
    std::snprintf(buf, sizeof buf, "%.0f", v);
  else
    std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

JVal parseMember(const std::string& text, const std::string& what) {
  try {
    JParser p(text);
    return p.val();
  } catch (const std::exception& e) {
    throw std::runtime_error("teeth: " + what + " is not readable JSON: " + e.what());
  }
}

void JParser::ws() {
  while (p_ < e_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
}

JVal JParser::val() {
  ws();
  if (p_ >= e_) fail("teeth: JSON truncated");
  if (*p_ == '{' || *p_ == '[') return nested();
  return scalar();
}

JVal JParser::objv() { return nested(); }

JVal JParser::arrv() { return nested(); }

JVal JParser::strv() {
  JVal v;
  v.kind = JVal::String;
  v.s = str();
  return v;
}

std::string JParser::str() {
  std::string out;
  if (p_ < e_) ++p_;  // the opening byte, whatever it is
  while (p_ < e_) {
    const char c = *p_++;
    if (c == '"') break;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (p_ >= e_) break;
    const char esc = *p_++;
    switch (esc) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u':
        // No Unicode decoding: the code point becomes one '?'.
        out += '?';
        if (e_ - (p_ - 1) >= 5) p_ += 4;
        break;
      default:
        out += esc;
        break;
    }
  }
  return out;
}

JVal JParser::scalar() {
  if (*p_ == '"') return strv();
  JVal v;
  const size_t left = static_cast<size_t>(e_ - p_);
  if (left >= 4 && std::memcmp(p_, "true", 4) == 0) {
    v.kind = JVal::Bool;
    v.b = true;
    p_ += 4;
  } else if (left >= 5 && std::memcmp(p_, "false", 5) == 0) {
    v.kind = JVal::Bool;
    p_ += 5;
  } else if (left >= 4 && std::memcmp(p_, "null", 4) == 0) {
    p_ += 4;
  } else {
    char* end = nullptr;
    const double d = std::strtod(p_, &end);
    if (end == p_) fail("teeth: bad JSON number");
    v.kind = JVal::Number;
    v.num = d;
    p_ = end;
  }
  return v;
}

// Objects and arrays, nested to any depth, with an explicit stack of the
// containers still open instead of recursion.
JVal JParser::nested() {
  struct Open {
    JVal v;
    std::string key;  // object member whose value is being read
  };
  std::vector<Open> open;
  auto begin = [&] {
    Open o;
    o.v.kind = *p_ == '{' ? JVal::Object : JVal::Array;
    ++p_;
    ws();
    open.push_back(std::move(o));
  };
  enum class Step { First, Element, Append } step = Step::First;
  JVal done;
  begin();
  for (;;) {
    Open& top = open.back();
    const bool isObj = top.v.kind == JVal::Object;
    const char close = isObj ? '}' : ']';
    const char* malformed = isObj ? "teeth: malformed JSON object" : "teeth: malformed JSON array";
    if (step == Step::First) {
      step = Step::Element;
      if (p_ < e_ && *p_ == close) {
        ++p_;
        done = std::move(top.v);
        open.pop_back();
        if (open.empty()) return done;
        step = Step::Append;
        continue;
      }
    }
    if (step == Step::Element) {
      if (isObj) {
        ws();
        top.key = str();
        ws();
        if (p_ < e_ && *p_ == ':') ++p_;  // a missing colon is tolerated
      }
      ws();
      if (p_ >= e_) fail("teeth: JSON truncated");
      if (*p_ == '{' || *p_ == '[') {
        begin();
        step = Step::First;
        continue;
      }
      done = scalar();
    }
    if (isObj)
      top.v.obj.emplace_back(std::move(top.key), std::move(done));
    else
      top.v.arr.push_back(std::move(done));
    ws();
    if (p_ >= e_) fail(malformed);
    if (*p_ == ',') {
      ++p_;
      step = Step::Element;
      continue;
    }
    if (*p_ != close) fail(malformed);
    ++p_;
    done = std::move(top.v);
    open.pop_back();
    if (open.empty()) return done;
    step = Step::Append;
  }
}

}  // namespace le::tessera::json
