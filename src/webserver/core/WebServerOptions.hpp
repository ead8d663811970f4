#pragma once
// Any thread: plain values, copied by the server when it starts.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "webserver/requests/WebServerRequest.hpp"

namespace ombrelia {

class WebServerConnection;
struct WebServerConnectionInit;

enum class WebServerAuthenticationMethod { basic, digestAccess };

// Makes the connection object for an accepted socket (the "ConnectionClass" option); the
// default makes a WebServerConnection.
using WebServerConnectionFactory =
    std::function<std::shared_ptr<WebServerConnection>(WebServerConnectionInit init)>;

// The settings of one start of a server. Each field stands for the option named in its
// comment; defaults are those of a server started with no option.
struct WebServerOptions {
  uint16_t port = 0;                      // "Port": 0 lets the system choose
  std::optional<std::string> bonjourName; // "BonjourName"
  std::string bonjourType = "_http._tcp"; // "BonjourType"
  bool requestNATPortMapping = false;     // "RequestNATPortMapping"
  bool bindToLocalhost = false;           // "BindToLocalhost": 127.0.0.1 and ::1 only
  int maxPendingConnections = 16;         // "MaxPendingConnections": the listen backlog
  std::string serverName = "WebServer";   // "ServerName": the "Server" header
  std::optional<WebServerAuthenticationMethod> authenticationMethod; // "AuthenticationMethod"
  std::optional<std::string> authenticationRealm; // "AuthenticationRealm": serverName if absent
  std::map<std::string, std::string> authenticationAccounts; // "AuthenticationAccounts"
  WebServerConnectionFactory connectionClass;    // "ConnectionClass": WebServerConnection if empty
  bool automaticallyMapHEADToGET = true;         // "AutomaticallyMapHEADToGET"
  double connectedStateCoalescingInterval = 1.0; // "ConnectedStateCoalescingInterval", seconds
  int dispatchQueuePriority = 0;                 // "DispatchQueuePriority" (WebServerIOPool)
  bool automaticallySuspendInBackground = true;  // "AutomaticallySuspendInBackground"

  // Limits of this implementation.
  uint64_t maxBodyBytes = kWebServerDefaultMaxBodyBytes;
  // A client must deliver its head, and each read of its body, within this time.
  std::chrono::milliseconds readTimeout{kDefaultReadTimeout};
  // A body must also keep up this average rate: after a grace of one read timeout from its
  // start, each byte received buys 1/rate seconds more. Without it, a client dripping a byte
  // every few seconds renews the read timeout for ever and holds its connection. 0 turns the
  // rate off.
  uint64_t minBodyBytesPerSecond = kDefaultMinBodyBytesPerSecond;
  // Each write of the response must complete within this time.
  std::chrono::milliseconds writeTimeout{kDefaultWriteTimeout};
  // A response as a whole must also be read at this average rate: the time its writes wait for
  // the client to read may pass the window only by 1/rate seconds per byte written. Without it,
  // a client reading a few KB every minute renews the write timeout for ever and keeps what
  // the response holds (a rewritten playlist of tens of MB) for hours. Only the time spent
  // waiting on the client counts, not the time the response waits for its own bytes (an
  // origin's). 0 turns the rate off.
  uint64_t minResponseBytesPerSecond = kDefaultMinResponseBytesPerSecond;
  std::chrono::milliseconds responseRateWindow{kDefaultResponseRateWindow};
  // What all connections may hold together of their own (WebServerConnectionBudget): past it a
  // new request is answered 503 at once. 0 sets no bound.
  uint64_t maxConnectionBytes = kDefaultMaxConnectionBytes;
  // When a request finds no room, a connection whose client has moved no byte (of its request,
  // or of its answer) for this long gives its room up: the longest idle is ended first, answered
  // 503 if nothing of its answer went out, else reset.
  std::chrono::milliseconds minIdleBeforeEndingForRoom{kDefaultMinIdleBeforeEndingForRoom};

  // Long enough for a player on a congested link, short enough that idle sockets do not pile
  // up against the descriptor limit.
  static constexpr std::chrono::milliseconds kDefaultReadTimeout{30000};
  static constexpr std::chrono::milliseconds kDefaultWriteTimeout{60000};
  // A rate rather than one deadline for the whole body, so that a large upload on a slow link
  // is not cut off for its size alone. 1 KiB/s is far below what even a poor mobile link
  // carries, yet ends a drip of one byte every few seconds about one read timeout after it
  // began.
  static constexpr uint64_t kDefaultMinBodyBytesPerSecond = 1024;
  // 8 KiB/s (64 kbit/s) is below what a player on a slow mobile link reads at, and below the
  // lowest audio-only variant's bitrate, so a player that can play at all keeps up, while a
  // client reading slower is ended rather than kept for hours. The window lets a client whose
  // link stalls for a while (a handover) catch up.
  static constexpr uint64_t kDefaultMinResponseBytesPerSecond = 8 * 1024;
  static constexpr std::chrono::milliseconds kDefaultResponseRateWindow{30000};
  // A player's connection holds about 10 KiB (WebServerConnection::kConnectionBytes and its
  // head), so 20 to 50 players at once hold well under 1 MiB, and even 50 heads carrying signed
  // URLs of tens of KiB stay far below; yet thousands of idle connections or half-sent heads of
  // 100 KiB, each held for its read timeout, stop here rather than at the descriptor limit.
  static constexpr uint64_t kDefaultMaxConnectionBytes = 32 * 1024 * 1024;
  // Long beside the gaps of a player reading on a poor link (a lost packet's retransmission,
  // a buffer that is full for a moment), and the same as the origin connections' idle reader
  // rule (HttpClient::kMaxIdleReaderTime), yet short enough that a program holding the room with
  // silent connections keeps a player from its answer only for a few seconds. Only applied while
  // a request waits for room: a player paused for minutes with nobody waiting keeps its answer.
  static constexpr std::chrono::milliseconds kDefaultMinIdleBeforeEndingForRoom{5000};
};

} // namespace ombrelia
