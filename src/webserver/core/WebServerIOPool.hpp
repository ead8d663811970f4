#pragma once
// Any thread.

#include <cstddef>

namespace boost::asio {
class io_context;
}

namespace ombrelia {

// The threads that run every server socket, connection step and handler. One pool serves all
// servers of the process: a connection may outlive its server, and the threads must outlive
// every connection, so the pool lives until the process ends.
class WebServerIOPool {
public:
  // Enough to keep a few cores busy with small responses while leaving the rest of the
  // library its own threads.
  static constexpr size_t kMaxThreads = 4;

  static boost::asio::io_context &context();
  static size_t threadCount();
};

} // namespace ombrelia
