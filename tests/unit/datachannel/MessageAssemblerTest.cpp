#include "datachannel/MessageAssembler.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ombrelia::datachannel {
namespace {

using Outcome = MessageAssembler::Outcome;

constexpr size_t kLimit = 1000;

Outcome add(MessageAssembler& assembler, MessageAssembler::Key key, const std::string& part,
            bool end, std::vector<uint8_t>& message) {
  return assembler.add(key, reinterpret_cast<const uint8_t*>(part.data()), part.size(), end,
                       message);
}

// A peer abandoning oversized messages half-delivered (partial reliability) leaves entries that
// no last part ever ends: they must not pile up, nor push out the message being joined now.
TEST(MessageAssemblerTest, AbandonedMessagesStayBoundedAndTheOneUnderWayStillCompletes) {
  MessageAssembler assembler(kLimit);
  std::vector<uint8_t> message;
  const std::string tooMuch(kLimit + 1, 'x');
  for (uint32_t n = 0; n < 10 * MessageAssembler::kMaxPartialMessages; ++n) {
    ASSERT_EQ(add(assembler, {1, true, n}, tooMuch, false, message), Outcome::incomplete);
  }
  EXPECT_LE(assembler.partialCount(), MessageAssembler::kMaxPartialMessages)
      << "abandoned messages are all still held";

  const MessageAssembler::Key underWay{1, false, 7};
  ASSERT_EQ(add(assembler, underWay, "first ", false, message), Outcome::incomplete);
  ASSERT_EQ(add(assembler, {2, false, 0}, "whole", true, message), Outcome::complete);
  EXPECT_EQ(std::string(message.begin(), message.end()), "whole");
  ASSERT_EQ(add(assembler, underWay, "second", true, message), Outcome::complete);
  EXPECT_EQ(std::string(message.begin(), message.end()), "first second");
  EXPECT_EQ(add(assembler, {3, false, 0}, tooMuch, true, message), Outcome::oversized);
}

// A reset stream's channel is gone: what was part-way on it goes, what is part-way on the
// streams around it stays and completes.
TEST(MessageAssemblerTest, ResetStreamLosesItsPartWayMessagesAndItsNeighboursKeepTheirs) {
  MessageAssembler assembler(kLimit);
  std::vector<uint8_t> message;
  const std::string tooMuch(kLimit + 1, 'x');
  ASSERT_EQ(add(assembler, {2, false, 10}, "below ", false, message), Outcome::incomplete);
  ASSERT_EQ(add(assembler, {3, false, 20}, tooMuch, false, message), Outcome::incomplete);
  ASSERT_EQ(add(assembler, {3, true, 0}, tooMuch, false, message), Outcome::incomplete);
  ASSERT_EQ(add(assembler, {4, true, 30}, "above ", false, message), Outcome::incomplete);

  assembler.dropStream(3);
  EXPECT_EQ(assembler.partialCount(), 2u) << "the reset stream's messages are still held";
  ASSERT_EQ(add(assembler, {2, false, 10}, "done", true, message), Outcome::complete);
  EXPECT_EQ(std::string(message.begin(), message.end()), "below done");
  ASSERT_EQ(add(assembler, {4, true, 30}, "done", true, message), Outcome::complete);
  EXPECT_EQ(std::string(message.begin(), message.end()), "above done");
}

}  // namespace
}  // namespace ombrelia::datachannel
