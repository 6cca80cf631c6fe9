#include "ivf_rabitq/field_schema.h"

#include <cmath>
#include <tuple>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

using nlohmann::json;
using predicate::dict_key_for;
using predicate::dict_key_value;

std::vector<const json*> pointers(const std::vector<json>& rows) {
  std::vector<const json*> out;
  for (const json& r : rows) out.push_back(&r);
  return out;
}

TEST(DictKeys, EveryKeyFormDecodesAndCanonicalKeysAreProduced) {
  // {key, the value it stands for, whether dict_key_for(value) gives key}
  const std::tuple<std::string, json, bool> cases[] = {
      {"", json(""), true}, {"abc", json("abc"), true}, {"\x04x", json("\x04x"), true},
      {std::string("\0z", 2), json(std::string("\0z", 2)), true}, {"\x02\"\\u0001true\"", json("\x01true"), true},
      // U+0001: a boolean, true exactly for "true".
      {"\x01true", json(true), true}, {"\x01" "false", json(false), true},
      {"\x01True", json(false), false}, {"\x01", json(false), false},
      // U+0002 / U+0003: the rest as JSON, else the whole key as a string.
      {"\x02" "3", json(3), true}, {"\x02" "3.0", json(3.0), true}, {"\x02\"x\"", json("x"), false},
      {"\x02null", json(nullptr), false}, {"\x03" "7", json(7), false},
      {"\x03{\"a\":[true],\"b\":1}", json::parse("{\"b\":1,\"a\":[true]}"), true},
      {"\x02[1", json("\x02[1"), false}, {"\x02" "1 2", json("\x02" "1 2"), false}, {"\x03", json("\x03"), false}};
  for (const auto& [key, value, canonical] : cases) {
    EXPECT_EQ(dict_key_value(key), value) << json(key).dump();
    if (canonical) {
      EXPECT_EQ(dict_key_for(value), key) << value.dump();
    }
  }
}

TEST(DictKeyFor, RoundTripsEveryNonNullValue) {
  const std::vector<json> values = {
      json(""), json("a"), json("\x01"), json("\x01true"), json("\x02" "5"), json("\x03[]"),
      json("\x02\"q\""), json("true"), json("1"), json("null"), json("h\xc3\xa9llo"), json(true),
      json(false), json(0), json(-1), json(1.0), json(0.1), json(-2.5e-300), json(1e300),
      json(uint64_t{18446744073709551615ull}), json(int64_t{-9223372036854775807ll - 1}),
      json(9007199254740993ll), json::array(), json::object(), json::parse("[1,\"x\",null,[{}]]"),
      json::parse("{\"z\":{\"y\":[1.5,false]},\"a\":null}")};
  for (const json& v : values) {
    const std::string key = dict_key_for(v);
    EXPECT_EQ(dict_key_value(key), v) << v.dump();
    if (v.is_number()) {
      EXPECT_EQ(dict_key_value(key).get<double>(), v.get<double>());
    }
  }
}

TEST(BuildTypedColumns, ClassifiesFieldsAndCodesInOrderOfFirstAppearance) {
  const std::vector<json> rows = {
      json::parse(R"({"n": 1, "s": "x", "m": 2})"),
      json::parse(R"({"n": 2.5, "s": "y", "m": "two", "z": null})"),
      json(nullptr),
      json::parse(R"([1, 2])"),
      json::parse(R"({"n": null, "s": "x", "m": 2.0, "e": [1], "b": true})"),
      json::parse(R"({"s": "", "m": 2})"),
  };
  TypedColumns tc = build_typed_columns(pointers(rows), {});
  // Keys iterate in sorted order within a row, so first appearance is
  // m, n, s (row 0), z (row 1), b, e (row 4).
  ASSERT_EQ(tc.fields.size(), 6u);
  const std::vector<std::string> names = {"m", "n", "s", "z", "b", "e"};
  const std::vector<bool> numeric = {false, true, false, false, false, false};
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(tc.fields[i].name, names[i]);
    EXPECT_EQ(tc.fields[i].numeric, numeric[i]) << names[i];
  }
  ASSERT_EQ(tc.num.size(), 1u);
  ASSERT_EQ(tc.str.size(), 5u);

  const std::vector<double>& n = tc.num[0];
  EXPECT_EQ(n[0], 1.0);
  EXPECT_EQ(n[1], 2.5);
  for (int r : {2, 3, 4, 5}) EXPECT_TRUE(std::isnan(n[r])) << r;

  // m mixes numbers and a string: 2 and 2.0 are different keys.
  const FieldSchema& m = tc.fields[0];
  EXPECT_EQ(m.dict.at("\x02" "2"), 0u);
  EXPECT_EQ(m.dict.at("two"), 1u);
  EXPECT_EQ(m.dict.at("\x02" "2.0"), 2u);
  EXPECT_EQ(tc.str[0], (std::vector<uint32_t>{0, 1, kNoCode, kNoCode, 2, 0}));

  EXPECT_EQ(tc.fields[2].dict, (std::map<std::string, uint32_t>{{"x", 0}, {"y", 1}, {"", 2}}));
  EXPECT_EQ(tc.str[1], (std::vector<uint32_t>{0, 1, kNoCode, kNoCode, 0, 2}));

  // A field holding only null is a string field without keys.
  EXPECT_TRUE(tc.fields[3].dict.empty());
  EXPECT_EQ(tc.str[2], std::vector<uint32_t>(6, kNoCode));

  EXPECT_EQ(tc.fields[4].dict.at("\x01true"), 0u);
  EXPECT_EQ(tc.fields[5].dict.at("\x03[1]"), 0u);
}

TEST(BuildTypedColumns, SkippedFieldsGetNoColumnAndDoNotCountTowardsTheCap) {
  json first = json::object();
  first["_skipped"] = 1;
  for (size_t i = 0; i < kMaxTypedFields + 10; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%03zu", i);
    first[name] = static_cast<int>(i);
  }
  const std::vector<json> rows = {first, json::parse(R"({"late": "x", "f000": "y"})")};
  TypedColumns tc = build_typed_columns(pointers(rows), {"_skipped"});
  ASSERT_EQ(tc.fields.size(), kMaxTypedFields);
  EXPECT_EQ(tc.fields.front().name, "f000");
  EXPECT_EQ(tc.fields.back().name, "f255");
  EXPECT_FALSE(tc.fields.front().numeric);  // 0 and "y"
  EXPECT_TRUE(tc.fields.back().numeric);
  for (const FieldSchema& f : tc.fields) EXPECT_NE(f.name, "late");
  EXPECT_EQ(tc.str.size() + tc.num.size(), kMaxTypedFields);
}

}  // namespace
}  // namespace nimbrel
