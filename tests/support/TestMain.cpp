#include <gtest/gtest.h>

#include <csignal>

#include "support/LeakCheck.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A helper process that exits early must not kill the test through a write to its pipe.
  std::signal(SIGPIPE, SIG_IGN);
  // Death tests fork; "threadsafe" re-executes the binary so the library's threads are fresh.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const int result = RUN_ALL_TESTS();
  // Before the exit, while the library's threads are idle: a fault one of them meets during the
  // exit then ends the process with its report instead of hanging it.
  ombrelia::test::runLeakCheckNow();
  return result;
}
