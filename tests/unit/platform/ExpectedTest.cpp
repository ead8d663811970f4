// The one result type: which side a result holds, whatever the value and error types.
#include "platform/Expected.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>

namespace ombrelia {
namespace {

// A text value with an optional error, as the playlist fetcher uses it: an empty text and a
// failure that came without an error must not be mistaken for one another.
using Fetch = Expected<std::string, std::optional<int>>;

TEST(Expected, AFailureWithoutAnErrorIsStillAFailureAndAnEmptyValueStillASuccess) {
  const Fetch empty = Fetch::success("");
  ASSERT_TRUE(empty.hasValue());
  EXPECT_EQ(empty.value(), "");
  EXPECT_EQ(empty.errorIf(), nullptr);

  const Fetch bare = Fetch::failure(std::nullopt);
  ASSERT_FALSE(bare.hasValue());
  EXPECT_FALSE(bare);
  EXPECT_EQ(bare.valueIf(), nullptr);
  ASSERT_NE(bare.errorIf(), nullptr);
  EXPECT_EQ(bare.error(), std::nullopt);

  const Fetch coded = Fetch::failure(404);
  EXPECT_EQ(coded.error(), 404);
}

TEST(Expected, ReadingTheSideAResultDoesNotHoldIsCaughtNotUndefined) {
  const Fetch bare = Fetch::failure(7);
  EXPECT_THROW((void)bare.value(), std::bad_variant_access);
  const Fetch text = Fetch::success("x");
  EXPECT_THROW((void)text.error(), std::bad_variant_access);
  // The value moves out of a result that is given up.
  Fetch moved = Fetch::success(std::string(64, 'a'));
  const std::string taken = std::move(moved).value();
  EXPECT_EQ(taken.size(), 64u);
}

}  // namespace
}  // namespace ombrelia
