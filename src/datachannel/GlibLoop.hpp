#pragma once
// Any thread: invoke() and the timeout helpers may be called from anywhere; the blocks run on the
// loop's one thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

typedef struct _GMainContext GMainContext;

namespace ombrelia::datachannel {

// The process-wide GLib main loop that every ICE agent of the framework runs on. It lives until
// the process ends: agents of connections being torn down may still need it.
class GlibLoop {
 public:
  static GlibLoop& shared();

  GlibLoop(const GlibLoop&) = delete;
  GlibLoop& operator=(const GlibLoop&) = delete;

  GMainContext* context() const { return context_; }
  bool isLoopThread() const;

  // Runs the block on the loop thread later, never inline.
  void invoke(std::function<void()> block);
  // Runs the block on the loop thread every `interval` while it returns true. Returns the
  // source id for cancel().
  unsigned repeat(std::chrono::milliseconds interval, std::function<bool()> block);
  // Stops a repeating block; safe for an id that has already ended. Call on the loop thread.
  void cancel(unsigned sourceId);

 private:
  GlibLoop();
  GMainContext* context_ = nullptr;
  std::thread::id threadId_;
};

}  // namespace ombrelia::datachannel
