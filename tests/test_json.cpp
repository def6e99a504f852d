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

std::string failure(const std::string& text) {
  return le::test::errorOf([&] { parse(text); });
}

TEST(JsonReader, EmptyContainersAndDuplicateKeys) {
  const JVal o = parse(" { \t\r\n } ");
  EXPECT_EQ(o.kind, JVal::Object);
  EXPECT_TRUE(o.obj.empty());
  const JVal a = parse("[ \n ]");
  EXPECT_EQ(a.kind, JVal::Array);
  EXPECT_TRUE(a.arr.empty());

  const JVal d = parse(R"({"k": 1, "other": null, "k": 2})");
  ASSERT_EQ(d.obj.size(), 3u);
  EXPECT_EQ(d.obj[2].first, "k");
  EXPECT_EQ(d.obj[2].second.num, 2.0);
  EXPECT_EQ(d.req("k").num, 1.0);
  EXPECT_EQ(d.req("other").kind, JVal::Null);
}

TEST(JsonReader, StringEscapesAreNotDecoded) {
  EXPECT_EQ(parse(R"("a\u00e9b\u12")").s, "a?b?12");  // short \u: nothing skipped
  EXPECT_EQ(parse(R"("\u0041")").s, "?");
  EXPECT_EQ(parse(R"("x\/y\"z\\")").s, "x/y\"z\\");
  EXPECT_EQ(parse(R"("\b\f\n\r\t\q")").s, "\b\f\n\r\tq");
  EXPECT_EQ(parse("\"h\xc3\xa9llo \xe2\x82\xac\"").s, "h\xc3\xa9llo \xe2\x82\xac");
  EXPECT_EQ(parse("\"unterminated").s, "unterminated");
  EXPECT_EQ(parse("\"ends in \\").s, "ends in ");
}

TEST(JsonReader, TolerantForms) {
  const JVal noColon = parse(R"({"a" 1, "b" [true]})");
  EXPECT_EQ(noColon.req("a").num, 1.0);
  EXPECT_TRUE(noColon.req("b").arr.at(0).b);

  const std::string numText = "12.5e1xyz] garbage";
  JParser p(numText);
  JVal n = p.val();
  EXPECT_EQ(n.kind, JVal::Number);
  EXPECT_EQ(n.num, 125.0);

  const std::string text = "trueish";
  JParser q(text);
  EXPECT_TRUE(q.val().b);
  EXPECT_EQ(q.pos(), text.data() + 4);

  EXPECT_EQ(parse("+3").num, 3.0);
  EXPECT_EQ(parse("0x10").num, 16.0);
  EXPECT_TRUE(std::isinf(parse("inf").num));
  EXPECT_EQ(parse("false").kind, JVal::Bool);
  EXPECT_FALSE(parse("false").b);
  EXPECT_EQ(parse("null").kind, JVal::Null);
  EXPECT_EQ(parse("[1,2] 3").arr.size(), 2u);
}

TEST(JsonReader, Failures) {
  EXPECT_EQ(failure("[1, 2,]"), "teeth: bad JSON number");
  EXPECT_EQ(failure("[1 2]"), "teeth: malformed JSON array");
  EXPECT_EQ(failure("[1"), "teeth: malformed JSON array");
  EXPECT_EQ(failure(R"({"a": 1)"), "teeth: malformed JSON object");
  EXPECT_EQ(failure(R"({"a": 1 "b": 2})"), "teeth: malformed JSON object");
  EXPECT_EQ(failure(""), "teeth: JSON truncated");
  EXPECT_EQ(failure(" \t\r\n"), "teeth: JSON truncated");
  EXPECT_EQ(failure("["), "teeth: JSON truncated");
  EXPECT_EQ(failure("{"), "teeth: JSON truncated");
  EXPECT_EQ(failure(R"({"a":)"), "teeth: JSON truncated");
  EXPECT_EQ(failure("tru"), "teeth: bad JSON number");
  EXPECT_EQ(failure("-"), "teeth: bad JSON number");

  const JVal o = parse(R"({"a": 1})");
  EXPECT_EQ(le::test::errorOf([&] { o.req("missing"); }), "teeth: member JSON lacks key 'missing'");
  EXPECT_THROW(parse("[1]").req("a"), std::runtime_error);
}

// Random well-formed documents: the generator keeps the tree it printed.
class DocGen {
 public:
  explicit DocGen(unsigned seed) : rng_(seed) {}

  JVal value(int depth, std::string& out) {
    JVal v;
    const int pick = depth > 5 ? static_cast<int>(rng_() % 4) : static_cast<int>(rng_() % 6);
    switch (pick) {
      case 0: v.kind = JVal::Null; out += "null"; break;
      case 1:
        v.kind = JVal::Bool;
        v.b = rng_() & 1;
        out += v.b ? "true" : "false";
        break;
      case 2: {
        v.kind = JVal::Number;
        std::uniform_real_distribution<double> d(-1e6, 1e6);
        v.num = (rng_() & 1) ? d(rng_) : static_cast<double>(static_cast<int>(rng_() % 2000) - 1000);
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", v.num);
        out += buf;
        break;
      }
      case 3:
        v.kind = JVal::String;
        v.s = text(out);
        break;
      default: {  // 4: array, 5: object
        const bool isObj = pick == 5;
        v.kind = isObj ? JVal::Object : JVal::Array;
        out += isObj ? '{' : '[';
        const int n = static_cast<int>(rng_() % 5);
        for (int i = 0; i < n; ++i) {
          if (i) out += ',';
          blank(out);
          if (isObj) {
            std::string key = text(out);
            blank(out);
            out += ':';
            blank(out);
            JVal child = value(depth + 1, out);
            v.obj.emplace_back(std::move(key), std::move(child));
          } else {
            v.arr.push_back(value(depth + 1, out));
          }
          blank(out);
        }
        blank(out);
        out += isObj ? '}' : ']';
        break;
      }
    }
    return v;
  }

 private:
  void blank(std::string& out) {
    static const char kWs[] = {' ', '\t', '\n', '\r'};
    const int n = static_cast<int>(rng_() % 3);
    for (int i = 0; i < n; ++i) out += kWs[rng_() % 4];
  }

  std::string text(std::string& out) {
    static const char* kPieces[][2] = {{"a", "a"},           {"\\\"", "\""},       {"\\\\", "\\"},
                                       {"\\n", "\n"},        {"\\/", "/"},         {"\xc3\xa9", "\xc3\xa9"},
                                       {"W", "W"},           {":", ":"},           {"{", "{"},
                                       {"]", "]"},           {" ", " "},           {"\\t", "\t"}};
    std::string value;
    out += '"';
    const int n = static_cast<int>(rng_() % 6);
    for (int i = 0; i < n; ++i) {
      const auto& piece = kPieces[rng_() % (sizeof kPieces / sizeof kPieces[0])];
      out += piece[0];
      value += piece[1];
    }
    out += '"';
    return value;
  }

  std::mt19937 rng_;
};

void expectSame(const JVal& want, const JVal& got, const std::string& doc) {
  ASSERT_EQ(want.kind, got.kind) << doc;
  EXPECT_EQ(want.b, got.b) << doc;
  EXPECT_EQ(want.num, got.num) << doc;
  EXPECT_EQ(want.s, got.s) << doc;
  ASSERT_EQ(want.arr.size(), got.arr.size()) << doc;
  for (size_t i = 0; i < want.arr.size(); ++i) expectSame(want.arr[i], got.arr[i], doc);
  ASSERT_EQ(want.obj.size(), got.obj.size()) << doc;
  for (size_t i = 0; i < want.obj.size(); ++i) {
    EXPECT_EQ(want.obj[i].first, got.obj[i].first) << doc;
    expectSame(want.obj[i].second, got.obj[i].second, doc);
  }
}

TEST(JsonReader, EveryWellFormedDocumentParses) {
  DocGen gen(20240611u);
  for (int i = 0; i < 2000; ++i) {
    std::string doc;
    const JVal want = gen.value(0, doc);
    const JVal got = parse(doc);
    expectSame(want, got, doc);
    const JVal copy = got;  // deep copy keeps the whole tree
    expectSame(want, copy, doc);
  }
}

TEST(JsonReader, DeepNestingNeverOverflows) {
  constexpr int kDepth = 100000;
  const std::string arrays = std::string(kDepth, '[') + "7" + std::string(kDepth, ']');
  JVal v = parse(arrays);
  JVal copy = v;
  const JVal* cur = &copy;
  int depth = 0;
  while (cur->kind == JVal::Array) {
    ASSERT_EQ(cur->arr.size(), 1u);
    cur = &cur->arr[0];
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_EQ(cur->num, 7.0);
  v = copy;

  std::string objects;
  for (int i = 0; i < kDepth; ++i) objects += "{\"k\":";
  objects += "null" + std::string(kDepth, '}');
  EXPECT_EQ(parse(objects).req("k").req("k").kind, JVal::Object);

  EXPECT_EQ(failure(std::string(kDepth, '[')), "teeth: JSON truncated");
  EXPECT_EQ(failure(std::string(kDepth, '[') + "1"), "teeth: malformed JSON array");
}

}  // namespace
