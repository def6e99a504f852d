// JSON value reader: well-formed documents, the tolerated malformations, the
// exact failures, and nesting far beyond any stack.
#include <gtest/gtest.h>

#include <cstdio>
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
      for (const JVal& e : v.arr) out.append(out.empty() ? "" : ",").append(dump(e));
      return "[" + out + "]";
    case JVal::Object:
      for (const auto& [k, e] : v.obj) out.append(out.empty() ? "\"" : ",\"").append(k).append("\":").append(dump(e));
      return "{" + out + "}";
  }
  return "?";
}

// The tree read from the text (and from a copy of it), or "!" and the error.
std::string read(const std::string& text) {
  try {
    const JVal copy = parse(text);
    return dump(copy);
  } catch (const std::runtime_error& e) {
    return std::string("!") + e.what();
  }
}

TEST(JsonReader, DocumentsTolerantFormsAndFailures) {
  const std::pair<std::string, std::string> cases[] = {
      {" {\"a\" :\t[1, -2.5e3 ,{}, [ ] ,\n{\"b\\\":\":\r null}], \"c\\n{]\": {\"\xc3\xa9\":true, \"\":false}} ",
       "{\"a\":[1,-2500,{},[],{\"b\":\":null}],\"c\n{]\":{\"\xc3\xa9\":true,\"\":false}}"},
      {R"({"k": 1, "other": null, "k": 2})", R"({"k":1,"other":null,"k":2})"},
      // Escapes are not decoded; a short \u skips nothing.
      {R"("a\u00e9b\u12")", "\"a?b?12\""},
      {R"("\b\f\n\r\t\q")", "\"\b\f\n\r\tq\""},
      {"\"unterminated", "\"unterminated\""},
      {R"({"a" 1, "b" [true]})", R"({"a":1,"b":[true]})"},
      {"12.5e1xyz] garbage", "125"},
      {"[1, 2,]", "!teeth: bad JSON number"},
      {"[1 2]", "!teeth: malformed JSON array"},
      {R"({"a": 1)", "!teeth: malformed JSON object"},
      {" \t\r\n", "!teeth: JSON truncated"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(read(text), want) << text;

  const std::string text = "trueish";
  JParser q(text);
  EXPECT_TRUE(q.val().b);
  EXPECT_EQ(q.pos(), text.data() + 4);
  // The first of duplicate keys answers.
  EXPECT_EQ(parse(R"({"k": 1, "other": null, "k": 2})").req("k").num, 1.0);
  EXPECT_EQ(le::test::errorOf([] { parse(R"({"a": 1})").req("missing"); }), "teeth: member JSON lacks key 'missing'");
}

TEST(JsonReader, DeepNestingNeverOverflows) {
  constexpr int kDepth = 100000;
  JVal v = parse(std::string(kDepth, '[') + "7" + std::string(kDepth, ']'));
  JVal copy = v;
  const JVal* cur = &copy;
  int depth = 0;
  for (; cur->kind == JVal::Array && cur->arr.size() == 1; ++depth) cur = &cur->arr[0];
  EXPECT_EQ(std::pair(depth, cur->num), std::pair(kDepth, 7.0));
  v = copy;

  std::string objects;
  for (int i = 0; i < kDepth; ++i) objects += "{\"k\":";
  EXPECT_EQ(parse(objects + "null" + std::string(kDepth, '}')).req("k").req("k").kind, JVal::Object);
  EXPECT_EQ(read(std::string(kDepth, '[')), "!teeth: JSON truncated");
  EXPECT_EQ(read(std::string(kDepth, '[') + "1"), "!teeth: malformed JSON array");
}

}  // namespace
