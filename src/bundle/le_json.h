// Minimal tolerant JSON reader for the mouth-borrow members, the manifest's
// nested blocks and the lip template. It accepts every well-formed document
// and a few malformed ones; consumers apply their own schema checks.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace le::tessera::json {

// A JSON value with plain value semantics. Copying and destruction walk the
// tree without recursion, so arbitrarily deep documents are safe.
struct JVal {
  enum Kind : int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

  Kind kind = Null;
  bool b = false;
  double num = 0.0;
  std::string s;
  std::vector<JVal> arr;
  // Ordered pairs, duplicates kept; lookups take the first match.
  std::vector<std::pair<std::string, JVal>> obj;

  JVal() = default;
  JVal(const JVal& o);
  JVal(JVal&&) noexcept = default;
  JVal& operator=(const JVal& o);
  JVal& operator=(JVal&&) noexcept = default;
  ~JVal();

  // Value of the first member named key; throws when there is none (also
  // when this is not an object).
  const JVal& req(const std::string& key) const;
  // The same, or null.
  const JVal* find(const std::string& key) const;
};

// A number for a message: integral values without a fraction, others as %g.
std::string numberText(double v);

// Reads values from [pos, end). The byte at end must be readable and NUL:
// numbers are read with strtod directly from the input.
class JParser {
 public:
  JParser(const char* begin, const char* end) : p_(begin), e_(end) {}
  explicit JParser(const std::string& text) : JParser(text.data(), text.data() + text.size()) {}
  explicit JParser(std::string&&) = delete;  // the text must outlive the parser

  // The value at the read position (after whitespace); leaves the position
  // just past it. Text after it is not examined.
  JVal val();
  // Object, array and string whose opening byte is at the read position.
  JVal objv();
  JVal arrv();
  JVal strv();

  const char* pos() const { return p_; }

 private:
  void ws();
  JVal nested();
  JVal scalar();
  std::string str();

  const char* p_;
  const char* e_;
};

// A whole member document: the value the text starts with (after
// whitespace). Any failure becomes "teeth: {what} is not readable JSON: "
// and the reader's message, what naming the document.
JVal parseMember(const std::string& text, const std::string& what);

}  // namespace le::tessera::json
