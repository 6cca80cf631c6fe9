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

TEST(Across, BatchedIdLookupsAgreeWithOneAtATime) {
  // Sizes around the lockstep search's halvings, a batch that is not whole,
  // ids in the delta (an upsert of a main row among them), absent ids and
  // repeats.
  for (uint64_t n : {1, 2, 3, 33, 1000}) {
    TempDir tmp;
    RandomSegment s = MakeRandomSegment(tmp.file("seg"), {.n = n, .lists = 1});
    auto seg = BuildAndOpen(s.input);
    ASSERT_TRUE(seg);
    for (const char* id : {"id-0", "new-a", "new-b"}) {
      WalOp op;
      op.id = id;
      op.vector.assign(8, 0.25f);
      ASSERT_TRUE(seg->add(op).ok());
    }
    std::vector<std::string> texts;
    size_t present = 4;  // the delta's ids below
    for (uint64_t i = 0; i < n + 40; i += 1 + i % 3) {
      texts.push_back("id-" + std::to_string(i));
      present += i < n && i % 7 != 3;  // the build gives row 7k+3 a longer id
    }
    for (const char* id : {"new-b", "", "id-0", "nowhere", "new-a", "id-0"}) texts.push_back(id);
    const std::vector<std::string_view> ids(texts.begin(), texts.end());
    std::vector<std::optional<uint32_t>> batched(ids.size());
    seg->slots_of_batch_locked(ids.data(), ids.size(), batched.data());
    size_t found = 0;
    for (size_t k = 0; k < ids.size(); ++k) {
      EXPECT_EQ(batched[k], seg->slot_of_locked(ids[k])) << n << " " << ids[k];
      found += batched[k].has_value();
    }
    EXPECT_EQ(found, present);
  }
}

}  // namespace
}  // namespace nimbrel
