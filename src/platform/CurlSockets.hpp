#pragma once
// The HTTP client engine's thread only, and its destructor once that thread has stopped.

#include <curl/curl.h>

#include <string>
#include <unordered_map>

#include "platform/CurlSocketWatch.hpp"

namespace ombrelia::platform {

// The sockets libcurl opens for one engine, so that a connection can be looked at before it
// carries a request: libcurl hands out the connection's addresses there, not its socket.
class CurlSockets {
 public:
  // `watch` learns of each socket opened, and of each before it is closed; it outlives this.
  explicit CurlSockets(CurlSocketWatch& watch) : watch_(watch) {}

  // Has `easy` open and close its sockets through this list.
  void adopt(CURL* easy);
  // The open socket with these ends; CURL_SOCKET_BAD when none.
  curl_socket_t find(const std::string& peerAddress, int peerPort, int localPort);

 private:
  struct Ends {
    std::string peerAddress;
    int peerPort = 0;
    int localPort = 0;
  };

  static curl_socket_t open(void* self, curlsocktype purpose, curl_sockaddr* address);
  static int close(void* self, curl_socket_t socket);
  // Read once the socket is connected; until then its ends are unknown (zero ports).
  static Ends endsOf(curl_socket_t socket);

  CurlSocketWatch& watch_;
  std::unordered_map<curl_socket_t, Ends> sockets_;
};

}  // namespace ombrelia::platform
