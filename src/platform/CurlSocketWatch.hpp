#pragma once
// The HTTP client engine's thread only, except wake() (any thread); its destructor once that
// thread has stopped and libcurl's multi handle is cleaned up.

#include <curl/curl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace ombrelia::platform {

// The sockets libcurl asks to have watched, in an epoll set, so that libcurl is handed only the
// ones that are ready: each event then costs the transfers on that socket, not all of them.
//
// A descriptor number is reused by the process as soon as it is closed, and libcurl may say it
// no longer watches a socket after closing it. epoll_ctl is therefore only ever called on a
// descriptor this watch knows to be open: a socket the engine opened and has not yet closed
// (CurlSockets reports both, and its close removes the socket from the set first), or a
// duplicate this watch made itself of a socket libcurl opened on its own (the threaded
// resolver's pipe), made while libcurl reported that socket in use. What libcurl says about a
// number the watch does not know, or about an earlier socket under that number, is ignored.
class CurlSocketWatch {
 public:
  struct Ready {
    curl_socket_t socket;
    uint32_t generation;  // of the socket the event was taken for
    int bits;             // CURL_CSELECT_*
  };

  CurlSocketWatch();
  ~CurlSocketWatch();
  CurlSocketWatch(const CurlSocketWatch&) = delete;
  CurlSocketWatch& operator=(const CurlSocketWatch&) = delete;

  // Whether the epoll set and the wake-up descriptor could be made.
  bool usable() const { return epoll_ >= 0 && wakeUp_ >= 0; }
  // Has `multi` say through this watch which sockets to watch.
  void attach(CURLM* multi);

  // The engine opened `socket` (CurlSockets); any earlier socket under that number is gone.
  void opened(curl_socket_t socket);
  // The engine is about to close `socket`: it leaves the set while the number is still its own.
  void closing(curl_socket_t socket);
  // What libcurl's socket callback says (CURL_POLL_*), with the token it keeps for the socket;
  // returns the token libcurl is to keep for it from now on.
  void* update(curl_socket_t socket, int what, void* token);

  // Wakes the thread in wait().
  void wake();
  // Waits up to `timeoutMs` for watched sockets to be ready or a wake(), and adds the ready
  // sockets to `ready`.
  void wait(int timeoutMs, std::vector<Ready>& ready);
  // Whether `ready` is still about the socket it was taken for: a socket closed since, and any
  // socket opened since under the same number, does not take that event.
  bool current(const Ready& ready) const;

  // How many sockets are in the epoll set.
  size_t watched() const { return inSet_; }

 private:
  struct Socket {
    uint32_t generation = 0;
    uint32_t events = 0;  // as registered in the epoll set; 0 when not in it
    // The descriptor in the set: the socket itself when the engine owns it, else a duplicate.
    int descriptor = -1;
    bool owned = false;
    dev_t device = 0;  // of a socket libcurl opened on its own, to tell a reused number
    ino_t inode = 0;
  };

  static int onSocket(CURL* easy, curl_socket_t socket, int what, void* self, void* token);
  uint32_t nextGeneration();
  // Registers `events` for the socket (0 takes it out of the set).
  void watch(curl_socket_t socket, Socket& record, uint32_t events);
  // Takes a socket libcurl opened on its own out of the set and closes the duplicate.
  void forget(std::unordered_map<curl_socket_t, Socket>::iterator found);
  // The record for a socket libcurl opened on its own and reports in use; null if it cannot be
  // duplicated (then it is not watched, and libcurl's timers still run).
  Socket* foreign(curl_socket_t socket);

  int epoll_ = -1;
  int wakeUp_ = -1;  // an eventfd: other threads' submissions and cancellations
  CURLM* multi_ = nullptr;
  uint32_t generation_ = 0;
  size_t inSet_ = 0;
  std::unordered_map<curl_socket_t, Socket> sockets_;
};

}  // namespace ombrelia::platform
