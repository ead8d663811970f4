#include "webserver/core/WebServerConnection.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "webserver/core/WebServerChunkedDecoder.hpp"
#include "webserver/core/WebServerDates.hpp"
#include "webserver/core/WebServerIOPool.hpp"
#include "webserver/core/WebServerLog.hpp"
#include "webserver/core/WebServerStatusCodes.hpp"

namespace ombrelia {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

struct WebServerConnection::Io {
  // The connection's loop: one thread, so its steps never run at once.
  asio::io_context::executor_type strand;
  tcp::socket socket;
  asio::steady_timer timer;

  explicit Io(asio::io_context &context)
      : strand(context.get_executor()), socket(strand), timer(strand) {}
};

// Shared by every copy of the completion handed to a handler: the first call wins, and when
// the last copy goes away uncalled the connection answers 500 rather than hang.
struct WebServerConnection::CompletionGuard {
  std::shared_ptr<WebServerConnection> connection;
  std::atomic<bool> called{false};

  explicit CompletionGuard(std::shared_ptr<WebServerConnection> c) : connection(std::move(c)) {}
  ~CompletionGuard() {
    if (!called.load())
      deliver(nullptr);
  }
  void deliver(std::shared_ptr<WebServerResponse> response) {
    auto target = connection;
    if (target->io_->strand.running_in_this_thread()) {
      // A synchronous handler answered from within the connection's own step: carry on here
      // (every write is asynchronous, so nothing blocks).
      target->finishProcessing(std::move(response));
      return;
    }
    // Never run the rest of the request on another caller's thread: it may be a thread that
    // must not block or be held up (the HTTP client's completion thread, for one).
    asio::post(target->io_->strand, [target, response = std::move(response)]() mutable {
      target->finishProcessing(std::move(response));
    });
  }
};

namespace {

constexpr auto kNoDeadline = std::chrono::steady_clock::time_point::max();
constexpr std::string_view kContinueAnswer = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kLastChunk = "0\r\n\r\n";
// A write gathers at most: head, chunk size line, body bytes, chunk end, last chunk.
constexpr size_t kMaxWriteBuffers = 5;

// The "Date" header changes once a second; each thread keeps the last text it formatted.
const std::string &currentHTTPDate() {
  thread_local int64_t cachedSecond = INT64_MIN;
  thread_local std::string cachedText;
  const auto now = std::chrono::system_clock::now();
  const int64_t second =
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  if (second != cachedSecond) {
    cachedSecond = second;
    cachedText = WebServerFormatRFC822(now);
  }
  return cachedText;
}

// Adds or replaces a header, keeping the order in which names were first set.
void setHeader(std::vector<std::pair<std::string, std::string>> &headers, std::string name,
               std::string value) {
  for (auto &header : headers) {
    if (WebServerCaseInsensitiveLess::equals(header.first, name)) {
      header.second = std::move(value);
      return;
    }
  }
  headers.emplace_back(std::move(name), std::move(value));
}

// Credentials are compared without an early exit, so timing does not tell how much matched.
bool constantTimeEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The Digest nonce: one per process run, from random bytes. Never destroyed: connections may
// still be answered while the process exits.
const std::string &processNonce() {
  static const auto *nonce = [] {
    unsigned char bytes[16] = {};
    RAND_bytes(bytes, sizeof(bytes));
    return new std::string(WebServerComputeMD5Digest(
        std::string_view(reinterpret_cast<const char *>(bytes), sizeof(bytes))));
  }();
  return *nonce;
}

bool responseHeadersAreValid(const WebServerResponse &response) {
  if (response.contentType() && !WebServerIsValidHeaderValue(*response.contentType()))
    return false;
  if (response.eTag() && !WebServerIsValidHeaderValue(*response.eTag()))
    return false;
  for (const auto &[name, value] : response.additionalHeaders()) {
    if (!WebServerIsValidHeaderName(name) || !WebServerIsValidHeaderValue(value))
      return false;
  }
  return true;
}

} // namespace

WebServerConnection::WebServerConnection(WebServerConnectionInit init)
    : server_(std::move(init.server)), localAddressData_(std::move(init.localAddressData)),
      remoteAddressData_(std::move(init.remoteAddressData)), socket_(init.socket),
      io_(std::make_unique<Io>(init.loop != nullptr ? *init.loop : WebServerIOPool::context())) {}

WebServerConnection::~WebServerConnection() {
  // Normally finalize() has run; this covers a connection dropped before it was started.
  if (!finalized_) {
    closeDescriptor();
    giveRoomBack();
    if (started_)
      server_->activity->didEndConnection();
  }
}

std::string WebServerConnection::localAddressString() const {
  return WebServerStringFromSockAddr(localAddressData_, true);
}

std::string WebServerConnection::remoteAddressString() const {
  return WebServerStringFromSockAddr(remoteAddressData_, true);
}

bool WebServerConnection::isUsingIPv6() const {
  sa_family_t family = AF_UNSPEC;
  if (localAddressData_.size() >= sizeof(family)) {
    std::memcpy(&family, localAddressData_.data(), sizeof(family));
  }
  return family == AF_INET6;
}

void WebServerConnection::start() {
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug, "Did open connection on socket %i", socket_);
  }
  started_ = true;
  server_->activity->willStartConnection();
  // The newcomer that ended this connection tells it on its own thread: a pending read or write
  // is cancelled, and the step that follows it finds the connection ended.
  holder_.onEnded = [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    asio::post(self->io_->strand, [self] {
      if (self->finalized_ || !self->waitingOnClient_) return;
      error_code ignored;
      self->io_->socket.cancel(ignored);
    });
  };
  // Queued rather than run at once: the caller (the accept loop) holds its own lock.
  asio::post(io_->strand, [self = shared_from_this()] {
    if (self->socket_ < 0 || !self->open()) {
      self->finalized_ = true;
      self->closeDescriptor();
      self->server_->activity->didEndConnection();
      return;
    }
    self->opened_ = true;
    if (!self->takeRoom(kConnectionBytes)) {
      self->refuseForRoom();
      return;
    }
    self->readHead();
  });
}

// Hooks.

bool WebServerConnection::open() { return true; }

void WebServerConnection::didReadBytes(const uint8_t *, size_t length) {
  totalBytesRead_ += length;
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug, "Connection received %zu bytes on socket %i", length,
                        socket_);
  }
}

void WebServerConnection::didWriteBytes(const uint8_t *, size_t length) {
  totalBytesWritten_ += length;
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug, "Connection sent %zu bytes on socket %i", length,
                        socket_);
  }
}

Url WebServerConnection::rewriteRequestURL(const Url &url, const std::string &,
                                           const WebServerHeaders &) {
  return url;
}

std::shared_ptr<WebServerResponse>
WebServerConnection::preflightRequest(const std::shared_ptr<WebServerRequest> &request) {
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(
        kWebServerLogDebug,
        "Connection on socket %i preflighting request \"%s %s\" with %" PRIu64 " bytes body",
        socket_, request->method().c_str(), request->path().c_str(), totalBytesRead_);
  }
  const WebServerContext &server = *server_;
  const auto authorization = request->headerValue("Authorization");
  if (!server.authenticationBasicAccounts.empty()) {
    if (authorization && authorization->starts_with("Basic ")) {
      const std::string_view credentials = std::string_view(*authorization).substr(6);
      for (const auto &[user, encoded] : server.authenticationBasicAccounts) {
        if (constantTimeEquals(credentials, encoded))
          return nullptr;
      }
    }
    auto response = WebServerResponse::responseWithStatusCode(401);
    response->setValueForAdditionalHeader("WWW-Authenticate",
                                          "Basic realm=\"" + server.authenticationRealm + "\"");
    return response;
  }
  if (!server.authenticationDigestAccounts.empty()) {
    const std::string &nonce = processNonce();
    bool stale = false;
    if (authorization && authorization->starts_with("Digest ")) {
      const auto realm = WebServerExtractHeaderValueParameter(*authorization, "realm");
      const auto sentNonce = WebServerExtractHeaderValueParameter(*authorization, "nonce");
      if (realm == server.authenticationRealm && sentNonce == nonce) {
        const auto user = WebServerExtractHeaderValueParameter(*authorization, "username");
        const auto uri = WebServerExtractHeaderValueParameter(*authorization, "uri");
        const auto answer = WebServerExtractHeaderValueParameter(*authorization, "response");
        // A user without an account is refused outright: there is no HA1 to check against.
        const auto account = user ? server.authenticationDigestAccounts.find(*user)
                                  : server.authenticationDigestAccounts.end();
        if (account != server.authenticationDigestAccounts.end() && uri && answer) {
          const std::string method = virtualHEAD_ ? "HEAD" : request->method();
          const std::string ha2 = WebServerComputeMD5Digest(method + ":" + *uri);
          const std::string expected =
              WebServerComputeMD5Digest(account->second + ":" + nonce + ":" + ha2);
          if (constantTimeEquals(*answer, expected))
            return nullptr;
        }
      } else if (sentNonce && !sentNonce->empty() && *sentNonce != nonce) {
        stale = true;
      }
    }
    auto response = WebServerResponse::responseWithStatusCode(401);
    response->setValueForAdditionalHeader(
        "WWW-Authenticate", "Digest realm=\"" + server.authenticationRealm + "\", nonce=\"" +
                                nonce + "\"" + (stale ? ", stale=TRUE" : ""));
    return response;
  }
  return nullptr;
}

void WebServerConnection::processRequest(const std::shared_ptr<WebServerRequest> &request,
                                         WebServerCompletionBlock completion) {
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug,
                        "Connection on socket %i processing request \"%s %s\" with %" PRIu64
                        " bytes body",
                        socket_, virtualHEAD_ ? "HEAD" : request->method().c_str(),
                        request->path().c_str(), totalBytesRead_);
  }
  try {
    handler_->asyncProcessBlock(request, std::move(completion));
  } catch (...) {
    // A throwing handler is a handler that answered nothing; its completion, if it was not
    // called, answers 500 when the last copy goes away.
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError, "Handler threw while processing request on socket %i",
                          socket_);
    }
  }
}

std::shared_ptr<WebServerResponse>
WebServerConnection::overrideResponse(std::shared_ptr<WebServerResponse> response,
                                      const WebServerRequest &request) {
  const int status = response->statusCode();
  if (status < 200 || status > 299)
    return response;
  bool match = false;
  if (request.ifModifiedSince() && response->lastModifiedDate()) {
    match = std::chrono::floor<std::chrono::seconds>(*response->lastModifiedDate()) <=
            *request.ifModifiedSince();
  } else if (request.ifNoneMatch() && response->eTag()) {
    match = *request.ifNoneMatch() == "*" || *request.ifNoneMatch() == *response->eTag();
  }
  if (!match)
    return response;
  const bool readOnly = request.method() == "GET" || request.method() == "HEAD";
  auto replacement = WebServerResponse::responseWithStatusCode(readOnly ? 304 : 412);
  replacement->setCacheControlMaxAge(response->cacheControlMaxAge());
  replacement->setLastModifiedDate(response->lastModifiedDate());
  replacement->setETag(response->eTag());
  return replacement;
}

void WebServerConnection::abortRequest(const std::shared_ptr<WebServerRequest> &, int statusCode) {
  abortWithStatus(statusCode);
}

void WebServerConnection::close() {
  if (WebServerLogLevel() > kWebServerLogVerbose || !WebServerShouldLog(kWebServerLogVerbose)) {
    return;
  }
  const std::string local = localAddressString();
  const std::string remote = remoteAddressString();
  if (request_) {
    WebServerLogMessage(kWebServerLogVerbose, "[%s] %s %i \"%s %s\" (%" PRIu64 " | %" PRIu64 ")",
                        local.c_str(), remote.c_str(), statusCode_,
                        virtualHEAD_ ? "HEAD" : request_->method().c_str(),
                        request_->path().c_str(), totalBytesRead_, totalBytesWritten_);
  } else {
    WebServerLogMessage(
        kWebServerLogVerbose, "[%s] %s %i \"(invalid request)\" (%" PRIu64 " | %" PRIu64 ")",
        local.c_str(), remote.c_str(), statusCode_, totalBytesRead_, totalBytesWritten_);
  }
}

// Timers.

// One timer serves every deadline of a connection. Moving a deadline later only updates
// deadline_: the pending wait fires at the old time, sees the new deadline and waits again. So
// the usual request costs one wait and one cancel, not a cancel and a re-arm per step.
void WebServerConnection::armTimer(std::chrono::milliseconds timeout) {
  armTimerAt(std::chrono::steady_clock::now() + timeout);
}

void WebServerConnection::armTimerAt(std::chrono::steady_clock::time_point deadline) {
  deadline_ = deadline;
  if (timerArmed_ && io_->timer.expiry() <= deadline_)
    return;
  waitForDeadline();
}

void WebServerConnection::waitForDeadline() {
  timerArmed_ = true;
  io_->timer.expires_at(deadline_); // cancels a pending wait, which the generation discards
  const uint64_t generation = ++timerGeneration_;
  io_->timer.async_wait([self = shared_from_this(), generation](const error_code &error) {
    if (generation != self->timerGeneration_)
      return;
    self->timerArmed_ = false;
    if (error || self->finalized_ || self->deadline_ == kNoDeadline)
      return;
    if (std::chrono::steady_clock::now() < self->deadline_) {
      self->waitForDeadline();
      return;
    }
    // Cancelling ends the pending read or write with an error; its step sees timedOut_.
    self->deadline_ = kNoDeadline;
    self->timedOut_ = true;
    error_code ignored;
    self->io_->socket.cancel(ignored);
  });
}

void WebServerConnection::cancelTimer() { deadline_ = kNoDeadline; }

// The socket.

// Most requests arrive whole with the connection and most answers fit the socket's buffer, so
// most connections never wait for their socket: it joins the loop's reactor (and leaves it
// again at close, two epoll_ctl calls) only when a step must wait.
bool WebServerConnection::watchSocket() {
  if (io_->socket.is_open())
    return true;
  // Once closed, the number may already be another socket's: taking it would close that one.
  if (socket_ < 0 || finalized_)
    return false;
  error_code error;
  io_->socket.assign(isUsingIPv6() ? tcp::v6() : tcp::v4(), socket_, error);
  return !error;
}

void WebServerConnection::closeDescriptor(error_code *error) {
  error_code ignored;
  if (io_->socket.is_open()) {
    io_->socket.close(error != nullptr ? *error : ignored);
  } else if (socket_ >= 0) {
    if (::close(socket_) != 0 && error != nullptr)
      *error = error_code(errno, boost::system::system_category());
  }
}

template <class Handler> void WebServerConnection::readSome(Handler handler) {
  if (!watchSocket()) {
    asio::post(io_->strand, [handler = std::move(handler)]() mutable {
      handler(asio::error::make_error_code(asio::error::no_descriptors), 0);
    });
    return;
  }
  waitOnClient();
  io_->socket.async_read_some(asio::buffer(readBuffer_),
                              [self = shared_from_this(), handler = std::move(handler)](
                                  const error_code& error, size_t length) mutable {
                                if (!self->resumeAfterClient()) return;
                                handler(error, length);
                              });
}

// Reading the head.

void WebServerConnection::readHead() {
  readBuffer_.resize(kHeadReadBytes);
  // A client sends its request as soon as it has connected, so it is usually here already:
  // one read without the reactor. The accepted socket is non-blocking.
  const ssize_t n = ::recv(socket_, readBuffer_.data(), readBuffer_.size(), 0);
  if (n > 0) {
    onHeadRead(std::string(), false, static_cast<size_t>(n));
    return;
  }
  if (n == 0) {
    onHeadRead(asio::error::make_error_code(asio::error::eof).message(), true, 0);
    return;
  }
  if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    onHeadRead(error_code(errno, boost::system::system_category()).message(), false, 0);
    return;
  }
  armTimer(server_->options.readTimeout);
  readSome([self = shared_from_this()](const error_code &error, size_t length) {
    self->onHeadRead(error ? error.message() : std::string(), error == asio::error::eof, length);
  });
}

void WebServerConnection::onHeadRead(const std::string &error, bool endOfFile, size_t length) {
  if (!error.empty()) {
    cancelTimer();
    if (timedOut_) {
      abortWithStatus(408);
    } else if (endOfFile) {
      if (WebServerShouldLog(kWebServerLogWarning)) {
        if (totalBytesRead_ > 0) {
          WebServerLogMessage(kWebServerLogError, "No more data available on socket %i", socket_);
        } else {
          WebServerLogMessage(kWebServerLogWarning, "No data received from socket %i", socket_);
        }
      }
      abortWithStatus(500);
    } else {
      if (WebServerShouldLog(kWebServerLogError)) {
        WebServerLogMessage(kWebServerLogError, "Error while reading from socket %i: %s", socket_,
                            error.c_str());
      }
      abortWithStatus(500);
    }
    return;
  }
  didReadBytes(reinterpret_cast<const uint8_t *>(readBuffer_.data()), length);
  const auto state = headParser_.append(std::string_view(readBuffer_).substr(0, length));
  if (state == WebServerRequestHeadParser::State::incomplete ||
      state == WebServerRequestHeadParser::State::complete) {
    // The head takes room as it grows; a new request that finds none is refused rather than
    // grown past what all connections may hold.
    const uint64_t head = kHeadCopies * headParser_.heldBytes();
    if (head > headRoom_) {
      if (!takeRoom(head - headRoom_)) {
        cancelTimer();
        refuseForRoom();
        return;
      }
      headRoom_ = head;
    }
  }
  switch (state) {
  case WebServerRequestHeadParser::State::incomplete:
    // The head's deadline runs from its first byte: no re-arm once it runs.
    if (deadline_ == kNoDeadline)
      armTimer(server_->options.readTimeout);
    readSome([self = shared_from_this()](const error_code &e, size_t n) {
      self->onHeadRead(e ? e.message() : std::string(), e == asio::error::eof, n);
    });
    return;
  case WebServerRequestHeadParser::State::complete:
    cancelTimer();
    interpretHead();
    return;
  case WebServerRequestHeadParser::State::malformed:
    cancelTimer();
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError, "Failed parsing request headers from socket %i",
                          socket_);
    }
    bodyPending_ = true;
    abortWithStatus(500);
    return;
  case WebServerRequestHeadParser::State::requestLineTooLong:
    cancelTimer();
    bodyPending_ = true;
    abortWithStatus(414);
    return;
  case WebServerRequestHeadParser::State::headTooLarge:
    cancelTimer();
    bodyPending_ = true;
    abortWithStatus(431);
    return;
  }
}

void WebServerConnection::interpretHead() {
  const WebServerRequestHead &head = headParser_.head();
  WebServerRequestInfo info;
  info.method = head.method;
  if (server_->options.automaticallyMapHEADToGET && info.method == "HEAD") {
    info.method = "GET";
    virtualHEAD_ = true;
  }
  info.headers = head.headers;
  info.maxBodyBytes = server_->options.maxBodyBytes;
  std::optional<Url> url = Url::parse(head.target);
  if (!url) {
    bodyPending_ = true;
    abortWithStatus(500);
    return;
  }
  info.url = rewriteRequestURL(*url, info.method, info.headers);
  const std::string &escapedPath = info.url.path();
  std::optional<std::string> path =
      WebServerUnescapeURLString(escapedPath.empty() ? "/" : escapedPath);
  if (!path) {
    bodyPending_ = true;
    abortWithStatus(500);
    return;
  }
  info.path = std::move(*path);
  if (info.url.query())
    info.query = WebServerParseURLEncodedForm(*info.url.query());

  for (const auto &handler : server_->handlers) {
    std::shared_ptr<WebServerRequest> request;
    try {
      request = handler->matchBlock(info);
    } catch (...) {
      request = nullptr;
    }
    if (request) {
      request_ = std::move(request);
      handler_ = handler;
      break;
    }
  }
  if (!request_) {
    request_ = std::make_shared<WebServerRequest>(std::move(info));
    bodyPending_ = request_->hasBody();
    abortRequest(request_,
                 request_->isValid() ? 501 : WebServerStatusCodeForRefusal(request_->refusal()));
    return;
  }
  if (!request_->isValid()) {
    // Refused before a byte of the body is read: a too large body answers 413 at once.
    bodyPending_ = true;
    abortRequest(request_, WebServerStatusCodeForRefusal(request_->refusal()));
    return;
  }
  request_->setLocalAddressData(localAddressData_);
  request_->setRemoteAddressData(remoteAddressData_);
  if (!request_->hasBody()) {
    startProcessing();
    return;
  }
  bodyPending_ = true;
  if (request_->isBodyGzipCoded() && !takeRoom(kBodyDecoderBytes)) {
    refuseForRoom();
    return;
  }
  request_->prepareForWriting();
  const std::string_view initial = headParser_.remainder();
  if (!request_->usesChunkedTransferEncoding() && initial.size() > request_->contentLength()) {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError,
                          "Unexpected 'Content-Length' header value on socket %i", socket_);
    }
    abortRequest(request_, 400);
    return;
  }
  const auto expect = request_->headerValue("Expect");
  if (!expect) {
    readBody();
  } else if (WebServerCaseInsensitiveLess::equals(*expect, "100-continue")) {
    if (!watchSocket()) {
      endConnection();
      return;
    }
    armTimer(server_->options.writeTimeout);
    asio::async_write(io_->socket, asio::buffer(kContinueAnswer),
                      [self = shared_from_this()](const error_code &error, size_t n) {
                        self->cancelTimer();
                        if (error) {
                          self->endConnection();
                          return;
                        }
                        self->didWriteBytes(
                            reinterpret_cast<const uint8_t *>(kContinueAnswer.data()), n);
                        self->readBody();
                      });
  } else {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError,
                          "Unsupported 'Expect' / 'Content-Length' header combination on socket %i",
                          socket_);
    }
    abortRequest(request_, 417);
  }
}

// Reading the body.

int WebServerConnection::statusForBodyError(const WebServerError &error) const {
  if (error.domain == kWebServerErrorDomain && error.code == kWebServerErrorBodyTooLarge)
    return 413;
  // Undecodable content is the client's fault.
  if (error.domain == kWebServerZlibErrorDomain)
    return 400;
  return 500;
}

// The next body read must come within the read timeout, and the body as a whole must keep up
// the minimum rate: the read timeout alone is renewed by every byte, however slow.
std::chrono::steady_clock::time_point WebServerConnection::bodyReadDeadline() const {
  const WebServerOptions& options = server_->options;
  const auto perRead = std::chrono::steady_clock::now() + options.readTimeout;
  if (options.minBodyBytesPerSecond == 0) return perRead;
  const double received = static_cast<double>(totalBytesRead_ - bytesReadBeforeBody_);
  const auto earned = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(received / static_cast<double>(options.minBodyBytesPerSecond)));
  return std::min(perRead, bodyStart_ + options.readTimeout + earned);
}

// Each write must complete within the write timeout, and the response as a whole must be read
// at the minimum rate: the write timeout alone is renewed by every slice the client takes,
// however slowly. Only time spent waiting on the client counts against it.
std::chrono::steady_clock::time_point WebServerConnection::responseWriteDeadline(
    std::chrono::steady_clock::time_point now) const {
  const WebServerOptions& options = server_->options;
  const auto perWrite = now + options.writeTimeout;
  if (options.minResponseBytesPerSecond == 0) return perWrite;
  const auto earned = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(static_cast<double>(responseBytesWritten_) /
                                    static_cast<double>(options.minResponseBytesPerSecond)));
  return std::min(perWrite, now + options.responseRateWindow + earned - responseWaited_);
}

void WebServerConnection::readBody() {
  bodyStart_ = std::chrono::steady_clock::now();
  bytesReadBeforeBody_ = totalBytesRead_;
  if (auto opened = request_->performOpen(); !opened) {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError, "Failed opening request body for socket %i: %s",
                          socket_, opened.error().description.c_str());
    }
    abortRequest(request_, 500);
    return;
  }
  const std::string_view initial = headParser_.remainder();
  if (request_->usesChunkedTransferEncoding()) {
    chunkedDecoder_ = std::make_unique<WebServerChunkedDecoder>(
        request_->maxBodyBytes(), [this](std::string_view data) {
          auto written = request_->performWriteData(reinterpret_cast<const uint8_t *>(data.data()),
                                                    data.size());
          if (!written)
            bodyWriteError_ = written.error();
          return written.ok();
        });
    chunkedDecoder_->append(initial);
    handleChunkState();
    return;
  }
  remainingBodyBytes_ = request_->contentLength();
  if (!initial.empty()) {
    auto written = request_->performWriteData(reinterpret_cast<const uint8_t *>(initial.data()),
                                              initial.size());
    if (!written) {
      bodyWriteError_ = written.error();
      bodyFailed(statusForBodyError(bodyWriteError_));
      return;
    }
    remainingBodyBytes_ -= initial.size();
  }
  readMoreBody();
}

void WebServerConnection::readMoreBody() {
  if (!chunkedDecoder_ && remainingBodyBytes_ == 0) {
    finishBody();
    return;
  }
  size_t size = chunkedDecoder_
                    ? kChunkedReadBytes
                    : static_cast<size_t>(std::min<uint64_t>(remainingBodyBytes_, kBodyReadBytes));
  if (size > kHeadReadBytes + readBufferRoom_) {
    // A larger buffer only while there is room for it: without, the body comes in reads of the
    // size already held, only slower.
    if (takeRoom(size - kHeadReadBytes - readBufferRoom_, RoomUse::extra)) {
      readBufferRoom_ = size - kHeadReadBytes;
    } else {
      size = kHeadReadBytes + readBufferRoom_;
    }
  }
  readBuffer_.resize(size);
  armTimerAt(bodyReadDeadline());
  readSome([self = shared_from_this()](const error_code &error, size_t n) {
    self->onBodyRead(error ? error.message() : std::string(), error == asio::error::eof, n);
  });
}

void WebServerConnection::onBodyRead(const std::string &error, bool endOfFile, size_t length) {
  cancelTimer();
  if (!error.empty()) {
    if (timedOut_) {
      bodyFailed(408);
      return;
    }
    if (WebServerShouldLog(kWebServerLogError)) {
      if (endOfFile) {
        WebServerLogMessage(kWebServerLogError, "No more data available on socket %i", socket_);
      } else {
        WebServerLogMessage(kWebServerLogError, "Error while reading from socket %i: %s", socket_,
                            error.c_str());
      }
    }
    // The body never arrived whole: the request is not handed to its handler.
    bodyPending_ = false;
    bodyFailed(400);
    return;
  }
  didReadBytes(reinterpret_cast<const uint8_t *>(readBuffer_.data()), length);
  const std::string_view bytes = std::string_view(readBuffer_).substr(0, length);
  if (chunkedDecoder_) {
    chunkedDecoder_->append(bytes);
    handleChunkState();
    return;
  }
  auto written =
      request_->performWriteData(reinterpret_cast<const uint8_t *>(bytes.data()), length);
  if (!written) {
    bodyWriteError_ = written.error();
    bodyFailed(statusForBodyError(bodyWriteError_));
    return;
  }
  remainingBodyBytes_ -= length;
  readMoreBody();
}

void WebServerConnection::handleChunkState() {
  using State = WebServerChunkedDecoder::State;
  switch (chunkedDecoder_->state()) {
  case State::needMore:
    readMoreBody();
    return;
  case State::complete:
    finishBody();
    return;
  case State::invalidSize:
  case State::lineTooLong:
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError,
                          "Invalid chunk length reading request body on socket %i", socket_);
    }
    bodyFailed(400);
    return;
  case State::missingCRLF:
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(
          kWebServerLogError,
          "Missing terminating CRLF sequence for chunk reading request body on socket %i", socket_);
    }
    bodyFailed(400);
    return;
  case State::trailersTooLarge:
    bodyFailed(431);
    return;
  case State::bodyTooLarge:
    bodyFailed(413);
    return;
  case State::sinkFailed:
    bodyFailed(statusForBodyError(bodyWriteError_));
    return;
  }
}

void WebServerConnection::bodyFailed(int statusCode) {
  if (!bodyWriteError_.domain.empty() && WebServerShouldLog(kWebServerLogError)) {
    WebServerLogMessage(kWebServerLogError, "Failed writing request body on socket %i: %s", socket_,
                        bodyWriteError_.description.c_str());
  }
  abortRequest(request_, statusCode);
}

void WebServerConnection::finishBody() {
  bodyPending_ = false;
  if (auto closed = request_->performClose(); !closed) {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError, "Failed closing request body for socket %i: %s",
                          socket_, closed.error().description.c_str());
    }
    abortRequest(request_, statusForBodyError(closed.error()));
    return;
  }
  startProcessing();
}

// Processing.

WebServerCompletionBlock WebServerConnection::makeCompletion() {
  auto guard = std::make_shared<CompletionGuard>(shared_from_this());
  return [guard](std::shared_ptr<WebServerResponse> response) {
    if (guard->called.exchange(true))
      return; // a second call is ignored
    guard->deliver(std::move(response));
  };
}

void WebServerConnection::startProcessing() {
  if (auto preflight = preflightRequest(request_)) {
    finishProcessing(std::move(preflight));
    return;
  }
  watchClient();
  processRequest(request_, makeCompletion());
}

// A client that leaves while its request is worked on, or while its answer goes out, should not
// leave the work going for nobody: nothing else reads the socket then, so the loop is asked to
// tell when it becomes readable. The end of the stream or an error means the client has gone,
// as for nginx; the connection then ends, which cancels the request for its handler.
void WebServerConnection::watchClient() {
  if (finalized_ || !watchSocket()) return;
  watchingClient_ = true;
  io_->socket.async_wait(
      tcp::socket::wait_read,
      [self = shared_from_this()](const error_code& error) { self->onClientReadable(error); });
}

void WebServerConnection::onClientReadable(const error_code& error) {
  if (!watchingClient_ || finalized_) return;
  watchingClient_ = false;
  if (error) return;
  std::array<char, 4096> ignored{};
  for (;;) {
    const ssize_t n = ::recv(socket_, ignored.data(), ignored.size(), MSG_DONTWAIT);
    if (n > 0) {
      ignoredBytes_ += static_cast<size_t>(n);
      if (ignoredBytes_ >= kMaxIgnoredBytes) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      watchClient();
      return;
    }
    break;
  }
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug, "Client left socket %i before its whole response",
                        socket_);
  }
  endConnection();
}

std::string WebServerConnection::prepareHead(int statusCode, const WebServerResponse *response) {
  headPrepared_ = true;
  statusCode_ = statusCode;
  // Built whole: GCC 12 at -O3 warns of an out-of-bounds write in emplace_back after reserve.
  std::vector<std::pair<std::string, std::string>> headers{
      {"Connection", "Close"}, {"Server", server_->options.serverName}, {"Date", currentHTTPDate()}};
  headers.reserve(8);
  if (response != nullptr) {
    if (response->lastModifiedDate()) {
      headers.emplace_back("Last-Modified", WebServerFormatRFC822(*response->lastModifiedDate()));
    }
    if (response->eTag())
      headers.emplace_back("ETag", *response->eTag());
    if (statusCode >= 200 && statusCode <= 299) {
      headers.emplace_back("Cache-Control",
                           response->cacheControlMaxAge() > 0
                               ? "max-age=" + std::to_string(response->cacheControlMaxAge()) +
                                     ", public"
                               : std::string("no-cache"));
    }
    if (response->contentType()) {
      headers.emplace_back("Content-Type",
                           *WebServerNormalizeHeaderValue(*response->contentType()));
    }
    if (response->contentLength() != kWebServerUndefinedResponseLength) {
      headers.emplace_back("Content-Length", std::to_string(response->contentLength()));
    }
    if (responseChunked_)
      headers.emplace_back("Transfer-Encoding", "chunked");
    for (const auto &[name, value] : response->additionalHeaders())
      setHeader(headers, name, value);
  }
  std::string head;
  head.reserve(256);
  head.append("HTTP/1.1 ").append(std::to_string(statusCode)).append(" ");
  head.append(WebServerReasonPhrase(statusCode)).append("\r\n");
  for (const auto &[name, value] : headers)
    head.append(name).append(": ").append(value).append("\r\n");
  head.append("\r\n");
  return head;
}

void WebServerConnection::finishProcessing(std::shared_ptr<WebServerResponse> response) {
  if (headPrepared_ || finalized_)
    return;
  if (response)
    response = overrideResponse(std::move(response), *request_);
  if (response && !responseHeadersAreValid(*response)) {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError,
                          "Refusing response with invalid header text for socket %i", socket_);
    }
    response = nullptr;
  }
  bool sendBody = false;
  if (response && response->hasBody()) {
    response->prepareForReading();
    sendBody = !virtualHEAD_;
    if (sendBody) {
      if (auto opened = response->performOpen(); !opened) {
        if (WebServerShouldLog(kWebServerLogError)) {
          WebServerLogMessage(kWebServerLogError, "Failed opening response body for socket %i: %s",
                              socket_, opened.error().description.c_str());
        }
        response = nullptr;
        sendBody = false;
      }
    }
  }
  if (!response) {
    abortRequest(request_, 500);
    return;
  }
  response_ = std::move(response);
  responseBodyOpened_ = sendBody;
  // HTTP/1.0 knows no chunked coding: there a body of unknown length is sent as it is and ended
  // by the close, which every answer here makes anyway.
  responseChunked_ =
      response_->usesChunkedTransferEncoding() && headParser_.head().version != "HTTP/1.0";
  responseBytesLeft_ = response_->contentLength();
  pendingHead_ = prepareHead(response_->statusCode(), response_.get());
  if (sendBody) {
    // Whoever made the response may have it reset, from any thread: it runs here, and only while
    // this response is the one being written.
    response_->resetHandle()->attach(
        [weak = weak_from_this(), answering = std::weak_ptr<WebServerResponse>(response_)] {
          auto self = weak.lock();
          if (!self) return;
          asio::post(self->io_->strand, [self, answering] {
            const auto response = answering.lock();
            if (response && response == self->response_) self->resetConnection();
          });
        });
  }
  if (!sendBody) {
    writeThen(std::move(pendingHead_), Data(), false, false, &WebServerConnection::finishResponse);
    return;
  }
  readNextBodyPiece();
}

// Writing the response.

void WebServerConnection::readNextBodyPiece() {
  auto self = shared_from_this();
  response_->performReadData([self](WebServerReadResult result) {
    // A completion from another thread continues on the connection's strand; one called at
    // once from a step runs inline.
    asio::dispatch(self->io_->strand, [self, result = std::move(result)]() mutable {
      self->onBodyPiece(std::move(result));
    });
  });
}

void WebServerConnection::onBodyPiece(WebServerReadResult result) {
  if (finalized_)
    return;
  if (!result.ok) {
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError, "Failed reading response body for socket %i: %s",
                          socket_, result.error.description.c_str());
    }
    if (!headWritten_) {
      // Nothing was sent yet: the failure can still be answered properly.
      response_->performClose();
      responseBodyOpened_ = false;
      headPrepared_ = false;
      response_.reset();
      pendingHead_.clear();
      abortRequest(request_, 500);
    } else {
      // The head has gone: only a reset tells every client that the body is not whole. A clean
      // close passes the part for all of it where only the close ends the body (HTTP/1.0, no
      // length), and players that take a short read for the end of a declared length or of a
      // chunked body play on without the rest.
      resetConnection();
    }
    return;
  }
  if (result.data.empty()) {
    writeThen(std::move(pendingHead_), Data(), responseChunked_, responseChunked_,
              &WebServerConnection::finishResponse);
    return;
  }
  Data data = std::move(result.data);
  if (!responseChunked_ && responseBytesLeft_ != kWebServerUndefinedResponseLength) {
    // Never send more than the head announced: the excess would be read as another response.
    if (data.size() > responseBytesLeft_)
      data = data.slice(0, static_cast<size_t>(responseBytesLeft_));
    responseBytesLeft_ -= data.size();
  }
  pendingBody_ = std::move(data);
  writePendingBody();
}

void WebServerConnection::writePendingBody() {
  if (pendingBody_.empty()) {
    readNextBodyPiece();
    return;
  }
  // A large body goes out in slices, so that the other connections of the loop take their
  // turn between them rather than wait for all of it.
  const size_t length = std::min(pendingBody_.size(), kMaxWriteBytes);
  Data slice = pendingBody_.slice(0, length);
  pendingBody_ = pendingBody_.slice(length, pendingBody_.size() - length);
  writeThen(std::move(pendingHead_), std::move(slice), responseChunked_, false,
            &WebServerConnection::writePendingBody);
}

void WebServerConnection::writeThen(std::string head, Data data, bool chunked, bool lastChunk,
                                    void (WebServerConnection::*next)()) {
  // A step queued before the connection ended (the next slice of its answer, behind a reset or
  // the client's leaving) writes nothing: the descriptor number may already be another socket's,
  // whose peer would get the rest of this answer.
  if (finalized_)
    return;
  // One gathered write per piece: the head goes out with the first body bytes.
  auto pieces = std::make_shared<std::vector<std::string>>();
  pieces->reserve(3);
  std::vector<asio::const_buffer> buffers;
  if (!head.empty())
    pieces->push_back(std::move(head));
  if (chunked && !data.empty()) {
    char size[32];
    const int n = std::snprintf(size, sizeof(size), "%zx\r\n", data.size());
    pieces->emplace_back(size, static_cast<size_t>(n));
  }
  for (const auto &piece : *pieces)
    buffers.emplace_back(piece.data(), piece.size());
  if (!data.empty())
    buffers.emplace_back(data.bytes(), data.size());
  if (chunked && !data.empty())
    buffers.emplace_back("\r\n", 2);
  if (lastChunk)
    buffers.emplace_back(kLastChunk.data(), kLastChunk.size());
  if (buffers.empty()) {
    (this->*next)();
    return;
  }
  headWritten_ = true;
  if (++writes_ == 2) {
    // A response of more than one write: its later pieces must not wait for the client's ACK
    // of the earlier ones. A single write needs no such thing, as closing pushes out its tail.
    const int yes = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
  }
  // Written at once when the socket buffer has room, as it mostly has; the reactor is used
  // only for what does not fit.
  std::array<iovec, kMaxWriteBuffers> vectors{};
  size_t total = 0;
  for (size_t i = 0; i < buffers.size(); ++i) {
    vectors[i].iov_base = const_cast<void *>(buffers[i].data());
    vectors[i].iov_len = buffers[i].size();
    total += buffers[i].size();
  }
  msghdr message{};
  message.msg_iov = vectors.data();
  message.msg_iovlen = buffers.size();
  ssize_t sent = ::sendmsg(socket_, &message, MSG_NOSIGNAL);
  if (sent < 0) {
    const int number = errno;
    if (number != EAGAIN && number != EWOULDBLOCK && number != EINTR) {
      onWritten(error_code(number, boost::system::system_category()), 0, next);
      return;
    }
    sent = 0;
  }
  if (static_cast<size_t>(sent) == total) {
    if (next == &WebServerConnection::finishResponse) {
      onWritten(error_code(), total, next);
      return;
    }
    // Queued rather than called: a body whose pieces all come at once would otherwise nest
    // one call deeper per piece.
    asio::post(io_->strand, [self = shared_from_this(), next, total] {
      self->onWritten(error_code(), total, next);
    });
    return;
  }
  if (!watchSocket()) {
    onWritten(asio::error::make_error_code(asio::error::no_descriptors), 0, next);
    return;
  }
  // The rest goes out as the client reads.
  std::vector<asio::const_buffer> rest;
  size_t skip = static_cast<size_t>(sent);
  for (const auto &buffer : buffers) {
    if (skip >= buffer.size()) {
      skip -= buffer.size();
      continue;
    }
    rest.push_back(buffer + skip);
    skip = 0;
  }
  const auto waitStart = std::chrono::steady_clock::now();
  armTimerAt(responseWriteDeadline(waitStart));
  waitOnClient();
  asio::async_write(
      io_->socket, rest,
      [this](const error_code& error, size_t n) -> size_t {
        // Each slice the client takes is progress: a slow reader that keeps
        // reading is never taken for an idle one.
        if (error) return 0;
        if (n > 0 && waitingOnClient_ && !server_->connections->progressed(holder_)) {
          return 0;  // ended meanwhile: the step that follows carries it out
        }
        return kMaxWriteBytes;
      },
      [self = shared_from_this(), pieces, data, next, waitStart, sent = static_cast<size_t>(sent)](
          const error_code& error, size_t n) {
        if (!self->resumeAfterClient()) return;
        self->cancelTimer();
        self->responseWaited_ += std::chrono::steady_clock::now() - waitStart;
        self->onWritten(error, sent + n, next);
      });
}

void WebServerConnection::onWritten(const error_code &error, size_t length,
                                    void (WebServerConnection::*next)()) {
  if (error) {
    if (timedOut_) {
      if (WebServerShouldLog(kWebServerLogError)) {
        WebServerLogMessage(kWebServerLogError,
                            "Client of socket %i read its response too slowly (%" PRIu64
                            " bytes written)",
                            socket_, responseBytesWritten_ + length);
      }
      // A clean close would still deliver the megabytes the socket buffers for this client, at
      // its pace; a reset drops them, and tells the client its answer is not whole.
      resetConnection();
      return;
    }
    if (WebServerShouldLog(kWebServerLogError)) {
      WebServerLogMessage(kWebServerLogError, "Error while writing to socket %i: %s (%i)", socket_,
                          error.message().c_str(), error.value());
    }
    endConnection();
    return;
  }
  responseBytesWritten_ += length;
  didWriteBytes(nullptr, length);
  (this->*next)();
}

void WebServerConnection::finishResponse() {
  responseWhole_ = true;
  watchingClient_ = false;
  endConnection();
}

void WebServerConnection::abortWithStatus(int statusCode) {
  if (headPrepared_ || finalized_) {
    endConnection();
    return;
  }
  pendingHead_ = prepareHead(statusCode, nullptr);
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug, "Connection aborted with status code %i on socket %i",
                        statusCode, socket_);
  }
  writeThen(std::move(pendingHead_), Data(), false, false, &WebServerConnection::finishResponse);
}

// Closing.

void WebServerConnection::endConnection() {
  if (finalized_)
    return;
  watchingClient_ = false;
  cancelTimer();
  closeResponseBody();
  if (refused_ && !drainingRefusal_) {
    // Too many refusals at once to let each finish: this one closes now.
    finalize();
    return;
  }
  int unreadBytes = 0;
  const bool failed = socket_ < 0 || ::ioctl(socket_, FIONREAD, &unreadBytes) != 0;
  if ((bodyPending_ || unreadBytes > 0) && !failed && watchSocket()) {
    lingerThenClose();
    return;
  }
  finalize();
}

void WebServerConnection::closeResponseBody() {
  if (response_ && responseBodyOpened_) {
    responseBodyOpened_ = false;
    response_->performClose();
  }
}

void WebServerConnection::resetConnection() {
  if (finalized_) return;
  closeResponseBody();
  // A zero linger time makes the close send RST and drop whatever is still unsent.
  const linger reset{1, 0};
  ::setsockopt(socket_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  finalize();
}

void WebServerConnection::lingerThenClose() {
  error_code ignored;
  io_->socket.shutdown(tcp::socket::shutdown_send, ignored);
  armTimer(kLingerTimeout);
  drainWhenReadable();
}

// Dropped bytes need no buffer of the connection's own: it waits for the socket to be readable,
// then reads into one on the stack. A refused connection lingers so without growing.
void WebServerConnection::drainWhenReadable() {
  io_->socket.async_wait(tcp::socket::wait_read,
                         [self = shared_from_this()](const error_code &error) {
                           self->onLingerReadable(error);
                         });
}

void WebServerConnection::onLingerReadable(const error_code &error) {
  if (finalized_)
    return;
  if (error) {
    finalize();
    return;
  }
  std::array<char, 4096> dropped{};
  for (;;) {
    const ssize_t n = ::recv(socket_, dropped.data(), dropped.size(), MSG_DONTWAIT);
    if (n > 0) {
      lingerBytes_ += static_cast<size_t>(n);
      if (lingerBytes_ >= kMaxLingerBytes)
        break;
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      drainWhenReadable();
      return;
    }
    break; // the client's end, or an error
  }
  finalize();
}

bool WebServerConnection::takeRoom(uint64_t bytes, RoomUse use) {
  if (!server_->connections)
    return true;
  WebServerConnectionBudget& budget = *server_->connections;
  if (!(use == RoomUse::needed ? budget.tryTakeOrEndIdle(bytes) : budget.tryTake(bytes)))
    return false;
  room_ += bytes;
  return true;
}

void WebServerConnection::waitOnClient() {
  if (finalized_ || refused_ || room_ == 0 || waitingOnClient_ || !server_->connections) return;
  waitingOnClient_ = true;
  server_->connections->beginWaiting(holder_, room_);
}

bool WebServerConnection::resumeAfterClient() {
  if (!waitingOnClient_) return true;
  waitingOnClient_ = false;
  if (server_->connections->endWaiting(holder_)) return true;
  endForRoom();
  return false;
}

void WebServerConnection::endForRoom() {
  // The budget took back all this connection held when it gave the room to another.
  room_ = 0;
  headRoom_ = 0;
  readBufferRoom_ = 0;
  cancelTimer();
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug,
                        "Ending the idle connection on socket %i: another request needs its room",
                        socket_);
  }
  if (finalized_) return;
  if (headWritten_ || headPrepared_) {
    // Part of the answer went out: only a reset tells the client it is not whole.
    resetConnection();
    return;
  }
  answerWithoutRoom();
}

void WebServerConnection::giveRoomBack() {
  if (waitingOnClient_) {
    waitingOnClient_ = false;
    // Ended for another meanwhile: the budget has its room already.
    if (!server_->connections->endWaiting(holder_)) room_ = 0;
  }
  if (room_ > 0 && server_->connections)
    server_->connections->give(room_);
  room_ = 0;
  headRoom_ = 0;
  readBufferRoom_ = 0;
  if (drainingRefusal_) {
    drainingRefusal_ = false;
    server_->connections->endRefusal();
  }
}

void WebServerConnection::refuseForRoom() {
  WebServerConnectionBudget &budget = *server_->connections;
  budget.countRefusal();
  if (WebServerShouldLog(kWebServerLogDebug)) {
    WebServerLogMessage(kWebServerLogDebug,
                        "Refusing the request on socket %i: connections hold %" PRIu64
                        " of %" PRIu64 " bytes",
                        socket_, budget.heldBytes(), budget.maxBytes());
  }
  answerWithoutRoom();
}

void WebServerConnection::answerWithoutRoom() {
  WebServerConnectionBudget& budget = *server_->connections;
  // Everything it held goes back at once, so that the budget counts only the connections it
  // serves; whatever more it sends is dropped, never kept. Refusals are bounded by their own count.
  headParser_ = WebServerRequestHeadParser();
  std::string().swap(readBuffer_);
  budget.give(room_);
  room_ = 0;
  headRoom_ = 0;
  readBufferRoom_ = 0;
  refused_ = true;
  drainingRefusal_ = budget.tryStartRefusal();
  bodyPending_ = true;
  std::string head = prepareHead(503, nullptr);
  head.insert(head.size() - 2, "Retry-After: 1\r\n");
  writeThen(std::move(head), Data(), false, false, &WebServerConnection::finishResponse);
}

void WebServerConnection::finalize() {
  if (finalized_)
    return;
  finalized_ = true;
  cancelTimer();
  ++timerGeneration_;
  io_->timer.cancel(); // releases the wait's hold on the connection now
  // Whatever ends the connection before the whole response went out (the client leaving, a
  // failed or timed-out write, a body that broke off), the client no longer waits for it. Told
  // before the socket closes, so that a client seeing the close finds its request settled.
  if (request_ && !responseWhole_) request_->cancellation()->cancel();
  // Room goes back before the close, so that a client seeing it finds the room there.
  giveRoomBack();
  error_code error;
  closeDescriptor(&error);
  if (WebServerShouldLog(kWebServerLogDebug)) {
    if (error) {
      WebServerLogMessage(kWebServerLogError, "Failed closing socket %i for connection: %s (%i)",
                          socket_, error.message().c_str(), error.value());
    } else {
      WebServerLogMessage(kWebServerLogDebug, "Did close connection on socket %i", socket_);
    }
  }
  if (opened_)
    close();
  server_->activity->didEndConnection();
  // The request and its response are released with the connection; a temporary body file
  // goes with its request.
}

} // namespace ombrelia
