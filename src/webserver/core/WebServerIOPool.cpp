#include "webserver/core/WebServerIOPool.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace ombrelia {
namespace {

struct Loop {
  // A hint of 1: one thread runs this loop, which lets it skip waking others; posting from any
  // thread stays safe.
  boost::asio::io_context context{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{
      context.get_executor()};
  // Creates the loop's reactor (its epoll, event and timer descriptors) now rather than at the
  // first connection, so the pool's descriptors stay the same from its start on.
  boost::asio::steady_timer reactorStarter{context};
};

struct Pool {
  std::vector<std::unique_ptr<Loop>> loops;
  std::atomic<size_t> next{0};

  Pool() {
    const size_t threads =
        std::clamp<size_t>(std::thread::hardware_concurrency(), 2, WebServerIOPool::kMaxThreads);
    for (size_t i = 0; i < threads; ++i)
      loops.push_back(std::make_unique<Loop>());
    for (auto &loop : loops) {
      std::thread([context = &loop->context] {
        for (;;) {
          try {
            context->run();
            return;
          } catch (...) {
            // A handler's exception must not take the thread with it; the loop goes on.
          }
        }
      }).detach();
    }
  }
};

Pool &pool() {
  // Never destroyed: detached threads may still run a step while the process exits.
  static Pool *instance = new Pool();
  return *instance;
}

} // namespace

boost::asio::io_context &WebServerIOPool::context() {
  Pool &p = pool();
  return p.loops[p.next.fetch_add(1, std::memory_order_relaxed) % p.loops.size()]->context;
}

boost::asio::io_context &WebServerIOPool::context(size_t index) {
  Pool &p = pool();
  return p.loops[index % p.loops.size()]->context;
}

size_t WebServerIOPool::threadCount() { return pool().loops.size(); }

} // namespace ombrelia
