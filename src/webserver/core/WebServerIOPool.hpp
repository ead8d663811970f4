#pragma once
// Any thread.

#include <cstddef>

namespace boost::asio {
class io_context;
}

namespace ombrelia {

// The threads that run every server socket, connection step and handler: one event loop per
// thread, each connection bound to one loop, so a connection's steps run in order on one thread
// without locks or hand-offs between threads. One pool per priority serves all servers of the
// process: a connection may outlive its server, and the threads must outlive every connection,
// so a pool lives until the process ends.
//
// A server's "DispatchQueuePriority" picks the pool, as it picks one of four global queues on
// the platform the option comes from: high (above 0), default (0), low (below 0) and background
// (kBackgroundPriority and below). On Linux nice values belong to threads, so each pool's
// threads set their own when they start: the default pool keeps the process's, high and low
// move five steps either way from the process's nice value (each step is about 1.25 times the
// CPU share under contention, so five make each class about three times the one below, without
// starving it), and background takes the lowest, 19. Raising a thread above the process (a
// smaller nice value) needs CAP_SYS_NICE or a matching RLIMIT_NICE; without either the high
// pool logs a warning once and runs at the process's priority.
class WebServerIOPool {
public:
  // Enough to keep a few cores busy with small responses while leaving the rest of the
  // library its own threads.
  static constexpr size_t kMaxThreads = 4;
  // The platform's background priority (its smallest 16-bit value).
  static constexpr int kBackgroundPriority = -32768;

  // The loop for a new connection or listener of a server of this priority, in turn.
  static boost::asio::io_context& context(int priority = 0);
  // Threads per pool.
  static size_t threadCount();
};

} // namespace ombrelia
