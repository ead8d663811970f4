#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A helper process that exits early must not kill the test through a write to its pipe.
  std::signal(SIGPIPE, SIG_IGN);
  // Death tests fork; "threadsafe" re-executes the binary so the library's threads are fresh.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
