#pragma once
// The host's main thread creates, releases and destroys it; the library's threads write to
// descriptor 1 meanwhile, and a thread of its own forwards what they write.

#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace ombrelia::example {

// Keeps the first line of standard output for the host's local URL, which a script or a test
// reads as the line to hand a player. The library logs on standard output from its own threads
// as soon as it starts, before the URL exists (the server must start first), so descriptor 1 is
// turned into a pipe: what arrives before the URL is held in memory and written after it, in
// the order it came, and everything after goes straight through. Nothing is dropped: on
// destruction descriptor 1 is restored and whatever is still held is written out.
class HeldOutput {
 public:
  HeldOutput();
  ~HeldOutput();
  HeldOutput(const HeldOutput&) = delete;
  HeldOutput& operator=(const HeldOutput&) = delete;

  // Writes `line` and a newline ahead of everything held so far, then lets the rest through.
  void writeFirstLine(std::string_view line);

 private:
  void forward();
  void writeOut(std::string_view bytes);

  int realOutput_ = -1;  // the process's standard output as it was given; -1: not redirected
  int pipeRead_ = -1;
  std::mutex mutex_;  // guards held_ and released_, and orders the writes to realOutput_
  std::string held_;
  bool released_ = false;
  std::thread forwarder_;
};

}  // namespace ombrelia::example
