#pragma once
// One connection's steps run one at a time on the server's I/O threads (a strand per
// connection); the handler's completion may be called from any thread.

#include <cstdint>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

#include <ombrelia/Url.hpp>

#include "webserver/core/WebServerConnectionBudget.hpp"
#include "webserver/core/WebServerContext.hpp"
#include "webserver/core/WebServerHandler.hpp"
#include "webserver/core/WebServerRequestHeadParser.hpp"

namespace boost::asio {
class io_context;
}

namespace ombrelia {

class WebServerChunkedDecoder;

// What the server hands to a new connection.
struct WebServerConnectionInit {
  std::shared_ptr<const WebServerContext> server;
  std::string localAddressData;  // the bytes of a sockaddr
  std::string remoteAddressData; // the bytes of a sockaddr
  int socket = -1;               // the accepted socket, non-blocking; the connection owns it
  // The event loop to serve it on; any loop when absent.
  boost::asio::io_context *loop = nullptr;
};

// Serves exactly one request on one accepted socket: reads and parses the head, picks the
// handler, reads the body into the request, runs the handler, writes the response, logs the
// access line and closes. It lives as long as its pending socket operations and the handler's
// completion hold it. Subclasses (the "ConnectionClass" option) may override the hooks.
class WebServerConnection : public std::enable_shared_from_this<WebServerConnection> {
public:
  // Size of one socket read while the head arrives: most heads fit in one.
  static constexpr size_t kHeadReadBytes = 4 * 1024;
  // Largest socket read of a body of known length, and of a chunked one.
  static constexpr size_t kBodyReadBytes = 256 * 1024;
  static constexpr size_t kChunkedReadBytes = 64 * 1024;
  // Largest slice of a response body written in one step.
  static constexpr size_t kMaxWriteBytes = 256 * 1024;
  // After answering a client that is still sending (a refused or unread body), its bytes are
  // read and dropped for at most this long and this much before the socket closes, so that
  // closing does not reset the connection before the client has read the answer.
  static constexpr std::chrono::milliseconds kLingerTimeout{2000};
  static constexpr size_t kMaxLingerBytes = 1024 * 1024;
  // While its request is worked on, a client has nothing to send (one request per connection):
  // bytes it sends anyway are read and dropped up to this many, so that its leaving can still be
  // seen behind them; past them it is no longer watched.
  static constexpr size_t kMaxIgnoredBytes = 1024 * 1024;
  // What a connection holds before its head grows: the object with its socket, timer and
  // request, and the head's first read buffer. Taken from the server's connection budget when it
  // starts; measured at about 5 KiB per connection waiting for its head.
  static constexpr uint64_t kConnectionBytes = 8 * 1024;
  // A head is held by the bytes collected, their parse and the request's copy of it: counted as
  // this many times what the collected bytes hold.
  static constexpr uint64_t kHeadCopies = 3;
  // A gzip-coded body's decoder: zlib's inflate state and 32 KiB window, and its output piece.
  static constexpr uint64_t kBodyDecoderBytes = 112 * 1024;

  explicit WebServerConnection(WebServerConnectionInit init);
  virtual ~WebServerConnection();
  WebServerConnection(const WebServerConnection &) = delete;
  WebServerConnection &operator=(const WebServerConnection &) = delete;

  // Begins serving; called once by the server right after creation.
  void start();

  const std::shared_ptr<const WebServerContext> &server() const { return server_; }
  const std::string &localAddressData() const { return localAddressData_; }
  const std::string &remoteAddressData() const { return remoteAddressData_; }
  std::string localAddressString() const;
  std::string remoteAddressString() const;
  bool isUsingIPv6() const;
  int socket() const { return socket_; }
  uint64_t totalBytesRead() const { return totalBytesRead_; }
  uint64_t totalBytesWritten() const { return totalBytesWritten_; }

protected:
  // Returning false closes the socket at once; the connection still counts as ended.
  virtual bool open();
  virtual void didReadBytes(const uint8_t *bytes, size_t length);
  virtual void didWriteBytes(const uint8_t *bytes, size_t length);
  virtual Url rewriteRequestURL(const Url &url, const std::string &method,
                                const WebServerHeaders &headers);
  // A response to send instead of running the handler (authentication), or none.
  virtual std::shared_ptr<WebServerResponse>
  preflightRequest(const std::shared_ptr<WebServerRequest> &request);
  virtual void processRequest(const std::shared_ptr<WebServerRequest> &request,
                              WebServerCompletionBlock completion);
  // 304 or 412 for a conditional request that the response satisfies.
  virtual std::shared_ptr<WebServerResponse>
  overrideResponse(std::shared_ptr<WebServerResponse> response, const WebServerRequest &request);
  // Writes a head-only answer with the status (400 to 599), then closes.
  virtual void abortRequest(const std::shared_ptr<WebServerRequest> &request, int statusCode);
  // Writes the access line.
  virtual void close();

private:
  struct Io;
  struct CompletionGuard;
  friend struct CompletionGuard;

  void readHead();
  void onHeadRead(const std::string &error, bool endOfFile, size_t length);
  void interpretHead();
  void readBody();
  void readMoreBody();
  void onBodyRead(const std::string &error, bool endOfFile, size_t length);
  void handleChunkState();
  void bodyFailed(int statusCode);
  void finishBody();
  void startProcessing();
  WebServerCompletionBlock makeCompletion();
  void finishProcessing(std::shared_ptr<WebServerResponse> response);
  std::string prepareHead(int statusCode, const WebServerResponse *response);
  void readNextBodyPiece();
  void writePendingBody();
  void onBodyPiece(WebServerReadResult result);
  void writeThen(std::string head, Data data, bool chunked, bool lastChunk,
                 void (WebServerConnection::*next)());
  void onWritten(const boost::system::error_code &error, size_t length,
                 void (WebServerConnection::*next)());
  bool watchSocket();
  void closeDescriptor(boost::system::error_code *error = nullptr);
  template <class Handler> void readSome(Handler handler);
  void finishResponse();
  void abortWithStatus(int statusCode);
  void endConnection();
  // Ends the connection with a reset instead of a clean close: the client then knows the
  // response it got is not whole.
  void resetConnection();
  void closeResponseBody();
  void lingerThenClose();
  void drainWhenReadable();
  void onLingerReadable(const boost::system::error_code &error);
  // Room in the server's connection budget: taken before a buffer grows, all given back at the
  // end. What a request needs may end connections idle on their clients to make it; an extra
  // (a larger read buffer) never does. False when there is none; nothing is taken then.
  enum class RoomUse { needed, extra };
  bool takeRoom(uint64_t bytes, RoomUse use = RoomUse::needed);
  void giveRoomBack();
  // Answers a new request 503 at once, with "Retry-After", when there is no room for it.
  void refuseForRoom();
  void answerWithoutRoom();
  // While a read from the client or a write to it is pending, the connection stands in the
  // budget's order of last progress, where a newcomer lacking room may end it.
  void waitOnClient();
  // First step after such a wait: false when the connection was ended for another meanwhile,
  // which it then carries out (a 503, or a reset once its answer has begun).
  bool resumeAfterClient();
  void endForRoom();
  void finalize();
  // While the handler works and its answer goes out, tells when the client leaves.
  void watchClient();
  void onClientReadable(const boost::system::error_code& error);
  void armTimer(std::chrono::milliseconds timeout);
  void armTimerAt(std::chrono::steady_clock::time_point deadline);
  std::chrono::steady_clock::time_point bodyReadDeadline() const;
  std::chrono::steady_clock::time_point responseWriteDeadline(
      std::chrono::steady_clock::time_point now) const;
  void cancelTimer();
  void waitForDeadline();
  int statusForBodyError(const WebServerError &error) const;

  std::shared_ptr<const WebServerContext> server_;
  std::string localAddressData_;
  std::string remoteAddressData_;
  int socket_;
  std::unique_ptr<Io> io_;

  // Touched only by the connection's steps, which never run at once.
  bool opened_ = false;
  bool started_ = false;
  bool finalized_ = false;
  bool virtualHEAD_ = false;
  bool timedOut_ = false;
  bool bodyPending_ = false; // the client may still be sending body bytes we did not read
  bool headWritten_ = false;
  bool headPrepared_ = false;
  bool responseBodyOpened_ = false;
  bool responseChunked_ = false;
  bool watchingClient_ = false;
  bool responseWhole_ = false;  // the last byte of the response has been written
  size_t ignoredBytes_ = 0;
  uint64_t timerGeneration_ = 0;
  bool timerArmed_ = false;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
  std::chrono::steady_clock::time_point bodyStart_;  // when reading the body began
  uint64_t bytesReadBeforeBody_ = 0;
  // How long the response's writes have waited for the client to read, and what they wrote:
  // the response's minimum rate is measured on these.
  std::chrono::steady_clock::duration responseWaited_{};
  uint64_t responseBytesWritten_ = 0;
  uint64_t totalBytesRead_ = 0;
  uint64_t totalBytesWritten_ = 0;
  size_t writes_ = 0; // socket writes begun, of the response or of an error answer
  uint64_t remainingBodyBytes_ = 0;
  uint64_t responseBytesLeft_ = 0; // of a response with a known length
  size_t lingerBytes_ = 0;
  uint64_t room_ = 0;            // taken from the connection budget
  uint64_t headRoom_ = 0;        // of which for the head
  uint64_t readBufferRoom_ = 0;  // of which for a read buffer larger than a head read
  bool refused_ = false;         // answered 503 for want of room
  bool drainingRefusal_ = false; // one of the refusals let finish before closing
  bool waitingOnClient_ = false; // linked in the budget's order of last progress
  // Its place in that order: its links are the budget's, under the budget's lock.
  WebServerConnectionBudget::Holder holder_;
  int statusCode_ = 0;
  WebServerRequestHeadParser headParser_;
  std::unique_ptr<WebServerChunkedDecoder> chunkedDecoder_;
  WebServerError bodyWriteError_;
  std::string readBuffer_;
  std::string pendingHead_; // the prepared head, sent with the first body bytes
  Data pendingBody_;        // what is left of the body piece being written
  std::shared_ptr<WebServerRequest> request_;
  std::shared_ptr<const WebServerHandler> handler_;
  std::shared_ptr<WebServerResponse> response_;
};

} // namespace ombrelia
