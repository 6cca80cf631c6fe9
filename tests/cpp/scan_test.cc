// Filtered scans over enough rows for the parallel pieces and the doubling
// windows of ids_matching_limit: they must give the sequential answer.
#include <gtest/gtest.h>

#include "ivf_rabitq/index.h"
#include "test_util.h"

namespace nimbrel {
namespace {

TEST(Scans, WindowsAndPiecesGiveThePrefixesOfTheFullListing) {
  TempDir tmp;
  const size_t n = 650000;
  std::vector<float> values(n);
  for (size_t i = 0; i < n; ++i) values[i] = static_cast<float>(i % 1000);
  SmallInput s(tmp.file("seg"), 1, std::move(values));
  auto x = BuildAndOpen(s.in);
  ASSERT_TRUE(x);
  // Gaps at and around the window edges, and rows added after the build.
  for (uint32_t r : {0u, 199999u, 200000u, 599999u, 600000u, 649999u}) {
    ASSERT_TRUE(*x->remove(x->ext_of(r)));
  }
  WalOp op;
  op.id = "added";
  op.vector = {0.5f};
  ASSERT_TRUE(x->add(op).ok());
  const std::vector<std::string> all = x->ids_matching(nullptr);
  ASSERT_EQ(all.size(), n - 6 + 1);
  EXPECT_EQ(all.back(), "added");
  EXPECT_EQ(x->count_matching(nullptr), all.size());
  EXPECT_TRUE(x->exists_matching(nullptr));
  const uint64_t total = all.size();
  for (uint64_t limit : std::vector<uint64_t>{1, 199998, 199999, 200000, 599996, 599997, 599998, total - 1, total,
                                              1000000}) {
    const std::vector<std::string> got = x->ids_matching_limit(nullptr, limit);
    ASSERT_EQ(got.size(), std::min<uint64_t>(limit, all.size())) << limit;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin())) << limit;
  }
}

}  // namespace
}  // namespace nimbrel
