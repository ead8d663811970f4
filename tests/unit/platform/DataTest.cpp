#include <ombrelia/Data.hpp>

#include <gtest/gtest.h>

#include <atomic>

#include "platform/DataBuffer.hpp"

using ombrelia::Data;

TEST(Data, CopiesAndSlicesShareTheBytes) {
  Data data(std::string("0123456789"));
  Data copy = data;
  EXPECT_EQ(copy.bytes(), data.bytes());
  Data middle = data.slice(3, 4);
  EXPECT_EQ(middle.view(), "3456");
  EXPECT_EQ(middle.bytes(), data.bytes() + 3);
  Data nested = middle.slice(1, 100);
  EXPECT_EQ(nested.view(), "456") << "a slice is clamped to what exists";
  EXPECT_TRUE(data.slice(10, 1).empty());
  EXPECT_TRUE(data.slice(99, 1).empty());
  EXPECT_EQ(data.slice(0, 0).size(), 0u);
}

TEST(Data, SliceKeepsTheBufferAliveAfterTheOriginalIsGone) {
  Data slice;
  {
    Data original(std::string(1000, 'x'));
    slice = original.slice(990, 10);
  }
  EXPECT_EQ(slice.toString(), std::string(10, 'x'));
}

namespace {
struct Freed : ombrelia::DataReleaseListener {
  void released(size_t bytes) noexcept override { total += bytes; }
  std::atomic<size_t> total{0};
};
}  // namespace

TEST(Data, ListenersAreToldOnceWhenTheLastCopyOfTheWholeBufferGoes) {
  auto first = std::make_shared<Freed>();
  auto second = std::make_shared<Freed>();
  Data slice;
  {
    Data original(std::string(1000, 'x'));
    EXPECT_EQ(ombrelia::DataBuffer::bytesUnder(original.slice(10, 5)), 1000u);
    EXPECT_TRUE(ombrelia::DataBuffer::watch(original, first));
    EXPECT_FALSE(ombrelia::DataBuffer::watch(original.slice(1, 1), first)) << "counted twice";
    EXPECT_TRUE(ombrelia::DataBuffer::watch(original, second));
    slice = original.slice(990, 10);
  }
  EXPECT_EQ(first->total, 0u) << "told while a slice still holds the buffer";
  slice = Data();
  EXPECT_EQ(first->total, 1000u);
  EXPECT_EQ(second->total, 1000u);
  EXPECT_FALSE(ombrelia::DataBuffer::watch(Data(), first));
}
