// The meta-file readers: values are found by text search (first occurrence of
// the quoted key, then the first ':' after it), not by parsing.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "audio/le_audio_meta.h"

namespace meta = le::audio_meta;

TEST(AudioMeta, IntegersAndFlagsByTextSearch) {
  struct Case {
    const char* text;
    const char* key;
    long intValue;            // intKey with default -1
    int flag;                 // flagKey: -1 for nullopt, else 0/1
  };
  const Case cases[] = {
      {R"({"h": 128, "window": 2})", "h", 128, 1},
      {R"({"window": 2, "left": 8})", "h", -1, -1},               // missing: default
      {R"({"h" 12, "left": 3})", "h", 3, 1},                     // no ':' after "h" until left's
      {R"({"h"})", "h", -1, -1},                                  // no ':' at all
      {R"({"hh": 5, "h": 7})", "h", 7, 1},                       // only the exact quoted key
      {R"({"enc": {"h": 9}, "h": 7})", "h", 9, 1},             // first occurrence, even nested
      {R"({"width": true})", "width", 0, 1},                     // strtol("true") is 0
      {R"({"width":	  false})", "width", 0, 0},
      {R"({"width": 0})", "width", 0, 0},
      {R"({"width": 2})", "width", 2, 1},
      {R"({"width": "yes"})", "width", 0, 0},
      {R"({"silence_prime": -40})", "silence_prime", -40, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(meta::intKey(c.text, c.key, -1), c.intValue);
    const auto flag = meta::flagKey(c.text, c.key);
    EXPECT_EQ(flag ? int(*flag) : -1, c.flag);
  }
}

TEST(AudioMeta, NumbersRequiredOrDefaulted) {
  const std::string text = R"({"nt": 100, "n_src": 1e2, "s_bridge": 0.75, "delta_pitch" 3})";
  EXPECT_EQ(meta::numberKey(text, "nt", std::nullopt), 100.0);
  EXPECT_EQ(meta::numberKey(text, "n_src", std::nullopt), 100.0);
  EXPECT_EQ(meta::numberKey(text, "s_bridge", 1.0), 0.75);
  EXPECT_EQ(meta::numberKey(text, "n_emo", 4.0), 4.0);
  const auto message = [&](const char* t, const char* key) {
    try {
      meta::numberKey(t, key, std::nullopt);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message(text.c_str(), "n_emo"), "meta.json: missing n_emo");
  EXPECT_EQ(message(R"({"nt" 5})", "nt"), "meta.json: bad nt");
}
