#include "datachannel/GlibLoop.hpp"

#include <glib.h>

#include <future>
#include <memory>
#include <mutex>

namespace ombrelia::datachannel {
namespace {

// A block and its source are built on the caller's thread, then run and freed on the loop's.
// GLib's own locks order the two, but they are invisible to ThreadSanitizer, which then reports
// those bytes as raced. The caller holds this lock from the first allocation until the source is
// attached, and the loop passes through it before running the block, which makes the order
// visible for the cost of an uncontended lock.
std::mutex& handoff() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

void publish() { std::lock_guard lock(handoff()); }

gboolean runOnce(gpointer data) {
  publish();
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

gboolean runRepeating(gpointer data) {
  publish();
  return (*static_cast<std::function<bool()>*>(data))() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void deleteOnce(gpointer data) { delete static_cast<std::function<void()>*>(data); }
void deleteRepeating(gpointer data) { delete static_cast<std::function<bool()>*>(data); }

}  // namespace

GlibLoop& GlibLoop::shared() {
  // Never destroyed: the loop thread runs until the process exits.
  static GlibLoop* loop = new GlibLoop();
  return *loop;
}

GlibLoop::GlibLoop() : context_(g_main_context_new()) {
  std::promise<std::thread::id> started;
  auto id = started.get_future();
  std::thread([this, &started] {
    g_main_context_push_thread_default(context_);
    GMainLoop* loop = g_main_loop_new(context_, FALSE);
    started.set_value(std::this_thread::get_id());
    g_main_loop_run(loop);
  }).detach();
  threadId_ = id.get();
}

bool GlibLoop::isLoopThread() const { return std::this_thread::get_id() == threadId_; }

void GlibLoop::invoke(std::function<void()> block) {
  std::lock_guard lock(handoff());
  auto* published = new std::function<void()>(std::move(block));
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, runOnce, published, deleteOnce);
  g_source_attach(source, context_);
  g_source_unref(source);
}

unsigned GlibLoop::repeat(std::chrono::milliseconds interval, std::function<bool()> block) {
  std::lock_guard lock(handoff());
  auto* published = new std::function<bool()>(std::move(block));
  GSource* source = g_timeout_source_new(static_cast<guint>(interval.count()));
  g_source_set_callback(source, runRepeating, published, deleteRepeating);
  const unsigned id = g_source_attach(source, context_);
  g_source_unref(source);
  return id;
}

void GlibLoop::cancel(unsigned sourceId) {
  if (sourceId == 0) return;
  if (GSource* source = g_main_context_find_source_by_id(context_, sourceId)) {
    g_source_destroy(source);
  }
}

}  // namespace ombrelia::datachannel
