#pragma once
// Any thread.

#include <cstddef>

namespace boost::asio {
class io_context;
}

namespace ombrelia {

// The threads that run every server socket, connection step and handler: one event loop per
// thread, each connection bound to one loop, so a connection's steps run in order on one thread
// without locks or hand-offs between threads. One pool serves all servers of the process: a
// connection may outlive its server, and the threads must outlive every connection, so the pool
// lives until the process ends.
class WebServerIOPool {
public:
  // Enough to keep a few cores busy with small responses while leaving the rest of the
  // library its own threads.
  static constexpr size_t kMaxThreads = 4;

  // The loop for a new connection or listener, in turn.
  static boost::asio::io_context &context();
  // Loop `index` (0 to threadCount() - 1).
  static boost::asio::io_context &context(size_t index);
  static size_t threadCount();
};

} // namespace ombrelia
