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
// (kBackgroundPriority and below). On Linux a pool's threads carry a nice value of their own
// (nice is per thread there): the default pool keeps the process's, the others take
// niceValue(priority) when they start. Raising a thread's priority (a negative nice value)
// needs CAP_SYS_NICE or a matching RLIMIT_NICE; without it the high pool logs a warning once
// and runs at the process's own priority.
class WebServerIOPool {
public:
  // Enough to keep a few cores busy with small responses while leaving the rest of the
  // library its own threads.
  static constexpr size_t kMaxThreads = 4;
  // The platform's background priority (its smallest 16-bit value).
  static constexpr int kBackgroundPriority = -32768;

  // The loop for a new connection or listener of a server of this priority, in turn.
  static boost::asio::io_context &context(int priority = 0);
  // Threads per pool.
  static size_t threadCount();
  // The nice value the threads of `priority` ask for: -5 high, 0 default, 5 low, 19 background.
  // Steps of five make each class run about three times the CPU share of the one below under
  // contention, without starving the lower ones.
  static int niceValue(int priority);
};

} // namespace ombrelia
