// JSON value reader: the tolerated malformations, the exact failures, any
// well-formed document (random shapes), and nesting far beyond any stack.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>

#include "bundle/le_json.h"
#include "bundle_fixtures.h"

namespace {

using le::tessera::json::JParser;
using le::tessera::json::JVal;

JVal parse(const std::string& text) { return JParser(text).val(); }

// Compact text of a parsed tree (strings as read, unescaped).
std::string dump(const JVal& v) {
  char num[40];
  std::string out;
  switch (v.kind) {
    case JVal::Null: return "null";
    case JVal::Bool: return v.b ? "true" : "false";
    case JVal::Number: std::snprintf(num, sizeof num, "%.17g", v.num); return num;
    case JVal::String: return "\"" + v.s + "\"";
    case JVal::Array:
      for (const JVal& e : v.arr) out += (out.empty() ? "" : ",") + dump(e);
      return "[" + out + "]";
    case JVal::Object:
      for (const auto& [k, e] : v.obj) out += (out.empty() ? "\"" : ",\"") + k + "\":" + dump(e);
      return "{" + out + "}";
  }
  return "?";
}

// The tree read from the text, or "!" and the error.
std::string read(const std::string& text) {
  try {
    return dump(parse(text));
  } catch (const std::runtime_error& e) {
    return std::string("!") + e.what();
  }
}

TEST(JsonReader, TolerantFormsAndFailures) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"k": 1, "other": null, "k": 2})", R"({"k":1,"other":null,"k":2})"},
      // Escapes are not decoded; a short \u skips nothing.
      {R"("a\u00e9b\u12")", "\"a?b?12\""},
      {R"("\u0041")", "\"?\""},
      {R"("x\/y\"z\\")", "\"x/y\"z\\\""},
      {R"("\b\f\n\r\t\q")", "\"\b\f\n\r\tq\""},
      {"\"unterminated", "\"unterminated\""},
      {"\"ends in \\", "\"ends in \""},
      {R"({"a" 1, "b" [true]})", R"({"a":1,"b":[true]})"},
      {"12.5e1xyz] garbage", "125"},
      {"+3", "3"},
      {"0x10", "16"},
      {"inf", "inf"},
      {"[1,2] 3", "[1,2]"},
      {"[1, 2,]", "!teeth: bad JSON number"},
      {"[1 2]", "!teeth: malformed JSON array"},
      {"[1", "!teeth: malformed JSON array"},
      {R"({"a": 1)", "!teeth: malformed JSON object"},
      {"", "!teeth: JSON truncated"},
      {" \t\r\n", "!teeth: JSON truncated"},
      {"[", "!teeth: JSON truncated"},
      {R"({"a":)", "!teeth: JSON truncated"},
      {"tru", "!teeth: bad JSON number"},
      {"-", "!teeth: bad JSON number"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(read(text), want) << text;

  const std::string text = "trueish";
  JParser q(text);
  EXPECT_TRUE(q.val().b);
  EXPECT_EQ(q.pos(), text.data() + 4);
  // The first of duplicate keys answers.
  EXPECT_EQ(parse(R"({"k": 1, "other": null, "k": 2})").req("k").num, 1.0);
  EXPECT_EQ(le::test::errorOf([] { parse(R"({"a": 1})").req("missing"); }), "teeth: member JSON lacks key 'missing'");
  EXPECT_THROW(parse("[1]").req("a"), std::runtime_error);
}

// Random well-formed documents, printed with random blanks, and the compact
// text of the tree they describe.
class DocGen {
 public:
  explicit DocGen(unsigned seed) : rng_(seed) {}

  std::string value(int depth, std::string& out) {
    const int pick = static_cast<int>(rng_() % (depth > 5 ? 4 : 6));
    if (pick == 0) return out += "null", "null";
    if (pick == 1) {
      const char* b = rng_() & 1 ? "true" : "false";
      return out += b, b;
    }
    if (pick == 2) {
      std::uniform_real_distribution<double> d(-1e6, 1e6);
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", (rng_() & 1) ? d(rng_) : static_cast<int>(rng_() % 2000) - 1000.0);
      return out += buf, buf;
    }
    if (pick == 3) return "\"" + text(out) + "\"";
    const bool isObj = pick == 5;
    std::string want;
    out += isObj ? '{' : '[';
    for (int i = 0, n = static_cast<int>(rng_() % 5); i < n; ++i) {
      out += i ? "," : "";
      want += i ? "," : "";
      blank(out);
      if (isObj) {
        want += "\"" + text(out) + "\":";
        blank(out);
        out += ':';
        blank(out);
      }
      want += value(depth + 1, out);
      blank(out);
    }
    out += isObj ? '}' : ']';
    return isObj ? "{" + want + "}" : "[" + want + "]";
  }

 private:
  void blank(std::string& out) {
    for (int i = 0, n = static_cast<int>(rng_() % 3); i < n; ++i) out += " \t\n\r"[rng_() % 4];
  }

  std::string text(std::string& out) {
    static const char* kPieces[][2] = {{"a", "a"}, {"\\\"", "\""}, {"\\\\", "\\"}, {"\\n", "\n"},
                                       {"\\/", "/"}, {"\xc3\xa9", "\xc3\xa9"}, {"W", "W"}, {":", ":"},
                                       {"{", "{"}, {"]", "]"}, {" ", " "}, {"\\t", "\t"}};
    std::string value;
    out += '"';
    for (int i = 0, n = static_cast<int>(rng_() % 6); i < n; ++i) {
      const auto& piece = kPieces[rng_() % std::size(kPieces)];
      out += piece[0];
      value += piece[1];
    }
    out += '"';
    return value;
  }

  std::mt19937 rng_;
};

TEST(JsonReader, EveryWellFormedDocumentParses) {
  DocGen gen(20240611u);
  for (int i = 0; i < 2000; ++i) {
    std::string doc;
    const std::string want = gen.value(0, doc);
    const JVal got = parse(doc);
    ASSERT_EQ(dump(got), want) << doc;
    const JVal copy = got;  // deep copy keeps the whole tree
    ASSERT_EQ(dump(copy), want) << doc;
  }
}

TEST(JsonReader, DeepNestingNeverOverflows) {
  constexpr int kDepth = 100000;
  JVal v = parse(std::string(kDepth, '[') + "7" + std::string(kDepth, ']'));
  JVal copy = v;
  const JVal* cur = &copy;
  int depth = 0;
  for (; cur->kind == JVal::Array; ++depth) {
    ASSERT_EQ(cur->arr.size(), 1u);
    cur = &cur->arr[0];
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_EQ(cur->num, 7.0);
  v = copy;

  std::string objects;
  for (int i = 0; i < kDepth; ++i) objects += "{\"k\":";
  EXPECT_EQ(parse(objects + "null" + std::string(kDepth, '}')).req("k").req("k").kind, JVal::Object);
  EXPECT_EQ(read(std::string(kDepth, '[')), "!teeth: JSON truncated");
  EXPECT_EQ(read(std::string(kDepth, '[') + "1"), "!teeth: malformed JSON array");
}

}  // namespace
