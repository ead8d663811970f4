#include "platform/JsonReader.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ombrelia::platform {
namespace {

JsonReader read(const std::string& text) {
  auto reader = JsonReader::parse(text);
  EXPECT_TRUE(reader) << text;
  return reader.value_or(*JsonReader::parse("{}"));
}

TEST(JsonReader, AcceptsOnlyOneObject) {
  for (const char* text : {"", "[]", "1", "\"a\"", "null", "{", "{} {}", "{\"a\":1,}", "{'a':1}"}) {
    EXPECT_FALSE(JsonReader::parse(text)) << text;
  }
  EXPECT_FALSE(JsonReader::parse(std::string("{\"a\":\"\xff\"}")));
  EXPECT_TRUE(JsonReader::parse(" {\"a\" : 1} \n"));
}

TEST(JsonReader, IntegersTakeOnlyIntegralNumbersWithinTheirWidth) {
  auto r = read(R"({"i":2,"f":2.0,"e":2e0,"h":1.5,"s":"2","b":true,"n":null,"neg":-3,
                   "max":9223372036854775807,"over":9223372036854775808,"big":1e19,
                   "min":-9223372036854775808,"i32max":2147483647,"i32over":2147483648})");
  EXPECT_EQ(r.int64("i"), 2);
  EXPECT_EQ(r.int64("f"), 2);
  EXPECT_EQ(r.int64("e"), 2);
  EXPECT_EQ(r.int64("neg"), -3);
  EXPECT_EQ(r.int64("max"), INT64_MAX);
  EXPECT_EQ(r.int64("min"), INT64_MIN);
  for (const char* key : {"h", "s", "b", "n", "missing", "over", "big"}) {
    EXPECT_FALSE(r.int64(key)) << key;
  }
  EXPECT_EQ(r.int32("i32max"), INT32_MAX);
  EXPECT_FALSE(r.int32("i32over"));
  EXPECT_FALSE(r.int32("max"));
}

TEST(JsonReader, ArraysRefuseAnyBadElement) {
  auto r = read(R"({"s":["a","b"],"mixed":["a",1],"o":[{"k":1},{}],"om":[{},2],"empty":[]})");
  EXPECT_EQ(r.strings("s"), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(r.strings("mixed"));
  ASSERT_TRUE(r.objects("o"));
  EXPECT_EQ(r.objects("o")->at(0).int64("k"), 1);
  EXPECT_FALSE(r.objects("om"));
  EXPECT_TRUE(r.strings("empty")->empty());
}

TEST(JsonReader, NestedReadersOutliveTheirParent) {
  std::optional<JsonReader> inner;
  {
    auto outer = JsonReader::parse(R"({"o":{"u":"0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3"}})");
    inner = outer->object("o");
  }
  ASSERT_TRUE(inner);
  EXPECT_TRUE(inner->uuid("u"));
}

TEST(JsonReader, RefusesDeepNestingButNotBracketsInStrings) {
  std::string deep(JsonReader::kMaxDepth + 1, '[');
  EXPECT_FALSE(
      JsonReader::parse("{\"a\":" + deep + std::string(JsonReader::kMaxDepth + 1, ']') + "}"));
  std::string brackets(1000, '[');
  EXPECT_TRUE(JsonReader::parse("{\"a\":\"" + brackets + "\"}"));
  EXPECT_TRUE(JsonReader::parse("{\"a\":\"\\\"[[[\"}"));
}

}  // namespace
}  // namespace ombrelia::platform
