#include "webserver/core/WebServerIOPool.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <thread>

namespace ombrelia {
namespace {

struct Pool {
  boost::asio::io_context context;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{
      context.get_executor()};
  size_t threads =
      std::clamp<size_t>(std::thread::hardware_concurrency(), 2, WebServerIOPool::kMaxThreads);

  Pool() {
    for (size_t i = 0; i < threads; ++i) {
      std::thread([this] {
        for (;;) {
          try {
            context.run();
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

boost::asio::io_context &WebServerIOPool::context() { return pool().context; }
size_t WebServerIOPool::threadCount() { return pool().threads; }

} // namespace ombrelia
