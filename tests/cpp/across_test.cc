// Lookups across segments, the parts Python cannot reach exactly: numbers
// compared by value, comparands made once and only for live rows, and a
// lookup without a whole query vector. (tests/test_across.py checks the
// answers and the parallel splits against models.)
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "ivf_rabitq/canon_meta.h"
#include "ivf_rabitq/index.h"
#include "test_util.h"

namespace nimbrel {
namespace {

bool EqText(const char* a, const char* b) {
  return json_eq_numeric(nlohmann::json::parse(a), nlohmann::json::parse(b));
}

TEST(Across, NumbersCompareByExactValueAndObjectsIgnoreKeyOrder) {
  EXPECT_TRUE(EqText(R"({"a":1,"b":[1,2.5,{"c":-3}]})", R"({"b":[1.0,2.5,{"c":-3.0}],"a":1e0})"));
  EXPECT_TRUE(EqText("0", "-0.0"));
  EXPECT_TRUE(EqText("18446744073709551615", "18446744073709551615"));
  EXPECT_TRUE(EqText("9007199254740992", "9007199254740992.0"));
  EXPECT_FALSE(EqText("9007199254740993", "9007199254740992.0"));  // a double would round them together
  EXPECT_FALSE(EqText("18446744073709551615", "1.8446744073709552e19"));
  EXPECT_FALSE(EqText("-1", "18446744073709551615"));
  EXPECT_FALSE(EqText("[1,2]", "[2,1]"));
  EXPECT_FALSE(EqText(R"({"a":1})", R"({"a":1,"b":null})"));
  EXPECT_FALSE(EqText("1", "true"));
  EXPECT_FALSE(EqText(R"("1")", "1"));
  EXPECT_FALSE(EqText("1.5", "1"));
  // Depth is no limit: the walk keeps its own stack.
  std::string deep_a(200000, '['), deep_b;
  deep_a += "1";
  deep_b = deep_a.substr(0, 200000) + "1.0";
  deep_a += std::string(200000, ']');
  deep_b += std::string(200000, ']');
  const nlohmann::json a = nlohmann::json::parse(deep_a), b = nlohmann::json::parse(deep_b);
  EXPECT_TRUE(json_eq_numeric(a, b));
}

TEST(Across, ComparandsAreMadeOnceAndOnlyForLiveRows) {
  const CanonMeta bad("{\"a\":");
  EXPECT_EQ(bad.canonical(), nullptr);
  const std::string text = R"({ "b" : [1, 2.0], "a" : "\u00e9" })";
  const CanonMeta given(text);
  std::vector<const std::string*> seen(8);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t) threads.emplace_back([&, t] { seen[t] = given.canonical(); });
  for (std::thread& t : threads) t.join();
  for (const std::string* s : seen) EXPECT_EQ(s, seen[0]);
  EXPECT_EQ(*seen[0], "{\"a\":\"\xc3\xa9\",\"b\":[1,2.0]}");

  TempDir tmp;
  RandomSegment s = MakeRandomSegment(tmp.file("seg"), {.n = 40});
  auto seg = BuildAndOpen(s.input);
  ASSERT_TRUE(seg);
  ASSERT_TRUE(*seg->remove("id-1"));
  const std::vector<std::string_view> ids = {"id-0", "id-1", "nowhere"};
  const CanonMetaList comps({"{}", "{}", "{}"});
  EXPECT_EQ(seg->meta_status(ids, comps.all(), false), (std::vector<uint8_t>{2, 0, 0}));
  EXPECT_TRUE(comps[0].computed());
  EXPECT_FALSE(comps[1].computed());
  EXPECT_FALSE(comps[2].computed());
  // Without one whole query vector a live row is infinitely far (Python
  // callers always pass whole vectors).
  const std::vector<float> part(7, 0.5f);
  const std::vector<float> d = seg->distances_to(ids, part.data(), part.size(), true);
  EXPECT_TRUE(std::isinf(d[0]) && std::isnan(d[1]) && std::isnan(d[2]));
}

}  // namespace
}  // namespace nimbrel
