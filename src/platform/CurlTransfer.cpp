#include "platform/CurlTransfer.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/CurlUrlReading.hpp"

namespace ombrelia::platform {
namespace {

// Only the web's own schemes: libcurl would otherwise read file:// or speak ftp, also when a
// redirect points there.
constexpr const char* kAllowedProtocols = "http,https";
// libcurl's receive buffer: segments are megabytes, and fewer, larger writes into the body cost
// less CPU than the 16 KiB default (curl's command line uses 100 KiB for the same reason).
constexpr long kReceiveBufferBytes = 128 * 1024;
// The room a whole body may keep unused, as a share of its size: more is given back at the end.
constexpr size_t kMostUnusedBodyRoomShare = 8;
std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

bool caseInsensitiveEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// A header value from the caller must not smuggle further header lines into the request.
bool isSafeHeaderValue(std::string_view value) {
  return std::none_of(value.begin(), value.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
}

// Whether the connection about to carry the transfer's current hop carries one exchange at a
// time: a plain-HTTP one. There this client speaks only HTTP/1.x (HTTP/2 is asked for over TLS
// alone), and libcurl hands an HTTP/1.x connection to one transfer at a time, so no other
// transfer is hurt when it is shut. Over TLS, input may wait for good reasons (an HTTP/2
// server's first SETTINGS, frames of other streams on a shared connection, session tickets).
// libcurl reports the scheme of the hop's own connection, reused or new, not of the first URL.
bool carriesOneExchangeAtATime(CURL* easy) {
  const char* scheme = nullptr;
  return curl_easy_getinfo(easy, CURLINFO_SCHEME, &scheme) == CURLE_OK && scheme != nullptr &&
         caseInsensitiveEquals(scheme, "http");
}

// An idle HTTP/1.1 connection has nothing to read until it is asked something: bytes (or the
// peer's close) waiting there mean the last answer went on past its length, and whatever the
// next request reads first would be taken for its answer.
bool holdsUnreadInput(curl_socket_t socket) {
  pollfd watched{socket, POLLIN, 0};
  return ::poll(&watched, 1, 0) > 0;
}

HttpErrorCause causeOf(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT:
      return HttpErrorCause::badURL;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return HttpErrorCause::unsupportedURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return HttpErrorCause::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return HttpErrorCause::cannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpErrorCause::timedOut;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return HttpErrorCause::networkConnectionLost;
    case CURLE_TOO_MANY_REDIRECTS:
      return HttpErrorCause::tooManyRedirects;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
      return HttpErrorCause::badServerResponse;
    case CURLE_BAD_CONTENT_ENCODING:
      return HttpErrorCause::cannotDecodeContentData;
    case CURLE_FILESIZE_EXCEEDED:
      return HttpErrorCause::dataLengthExceedsMaximum;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_CIPHER:
      return HttpErrorCause::secureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return HttpErrorCause::serverCertificateUntrusted;
    case CURLE_ABORTED_BY_CALLBACK:
      return HttpErrorCause::cancelled;
    default:
      return HttpErrorCause::unknown;
  }
}

}  // namespace

CurlTransfer::CurlTransfer(uint64_t identifier, HttpRequest request,
                           HttpClient::Completion completion, const HttpClient::Settings& settings)
    : identifier_(identifier),
      request_(std::move(request)),
      completion_(std::move(completion)),
      settings_(settings),
      maxBodyBytes_(request_.maxBodyBytes.value_or(settings.maxBodyBytes)),
      minBytesPerSecond_(request_.minBytesPerSecond ? std::max<long>(1, *request_.minBytesPerSecond)
                                                    : 0),
      minRateWindow_(std::max(std::chrono::seconds(1),
                              request_.minRateWindow.value_or(std::chrono::seconds(1)))) {}

CurlTransfer::~CurlTransfer() {
  // A transfer dropped unfinished (cancelled, or its client gone) ends its reader too: nobody
  // is left waiting for bytes that will not come.
  if (stream_) stream_->fail();
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  if (headers_ != nullptr) curl_slist_free_all(headers_);
}

std::optional<HttpError> CurlTransfer::prepare(CurlSockets& sockets) {
  const auto& scheme = request_.url.scheme();
  if (scheme != "http" && scheme != "https") {
    return HttpError{HttpErrorCause::unsupportedURL, "unsupported URL scheme \"" + scheme + "\""};
  }
  if (request_.range && !isSafeHeaderValue(*request_.range)) {
    return HttpError{HttpErrorCause::badURL, "invalid Range header value"};
  }
  easy_ = curl_easy_init();
  if (easy_ == nullptr) return HttpError{HttpErrorCause::unknown, "cannot create a transfer"};

  sockets_ = &sockets;
  sockets.adopt(easy_);
  url_ = request_.url.toString();
  if (const auto reading = CurlUrlReading::of(url_)) hostKey_ = reading->origin();
  curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(easy_, CURLOPT_PRIVATE, this);
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_.data());
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, HttpClient::kMaxRedirects);
  // libcurl reads 0 as "no limit": a limit of zero or less is taken as the smallest one, so
  // that no setting can switch a limit off. Without a deadline of the caller's, nothing bounds
  // the whole time: the silence rule (silentFor) ends a transfer, and not libcurl's low-speed
  // limit, which would count the time this client keeps the transfer paused.
  if (request_.timeout) {
    curl_easy_setopt(easy_, CURLOPT_TIMEOUT_MS, std::max<long>(1, request_.timeout->count()));
  }
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS,
                   std::max<long>(1, settings_.connectTimeout.count()));
  // A declared length over the cap fails before any byte is kept; onBody enforces the cap when
  // no length is declared.
  curl_easy_setopt(easy_, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodyBytes_));
  // HTTP/2 only where TLS agrees on it: plain HTTP stays HTTP/1.x, one exchange at a time, which
  // the check of onConnectionReady relies on.
  curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  // Over TLS, wait for a connection that may multiplex (HTTP/2 is agreed in the handshake)
  // rather than open another. Over plain HTTP only HTTP/1.1 is spoken: waiting there would queue
  // every request behind one whose answer has not begun, so requests to a slow origin would
  // stop running in parallel.
  if (scheme == "https") curl_easy_setopt(easy_, CURLOPT_PIPEWAIT, 1L);
  // On a connection that carries one answer after another, a byte that is not part of an
  // answer shifts every later answer onto the wrong request. Installed on every transfer, since
  // any hop of a redirect may land on such a connection, whatever the first URL's scheme.
  curl_easy_setopt(easy_, CURLOPT_PREREQFUNCTION, &CurlTransfer::onConnectionReady);
  curl_easy_setopt(easy_, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(easy_, CURLOPT_USERAGENT, "Ombrelia");
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  // Tests and private deployments point the trust store at their own CA, as for WebSockets. An
  // HTTPS proxy the environment names (http_proxy=https://...) is checked against the same
  // store: libcurl keeps a trust store of its own for proxies, its built-in one unless told.
  if (const char* caFile = std::getenv("SSL_CERT_FILE"); caFile != nullptr && *caFile != '\0') {
    curl_easy_setopt(easy_, CURLOPT_CAINFO, caFile);
    curl_easy_setopt(easy_, CURLOPT_PROXY_CAINFO, caFile);
  }
  if (request_.range) {
    headers_ = curl_slist_append(headers_, ("Range: " + *request_.range).c_str());
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
  } else {
    // Content coding is decoded transparently; with a Range the offsets would name the coded
    // bytes, so ranged requests ask for the identity coding.
    curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING, "");
  }
  return std::nullopt;
}

void CurlTransfer::beginBody(std::string_view firstPiece) {
  bodyBegun_ = true;
  rateWindowStart_ = std::chrono::steady_clock::now();
  rateWindowBytes_ = 0;
  curl_off_t declared = -1;
  curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
  std::optional<uint64_t> length;
  if (declared > 0 && static_cast<uint64_t>(declared) <= maxBodyBytes_) {
    length = static_cast<uint64_t>(declared);
  }
  declaredLength_ = length;
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  if (request_.bodyGate && request_.bodyGateApplies) {
    if (!request_.bodyGateApplies(head(), firstPiece)) request_.bodyGate = nullptr;
  }
  // Only a whole resource is handed over early; an error page or a part is small and taken
  // whole as before.
  if (!request_.onBodyStart || status != 200) {
    // A gated body is given its room once the gate has let it be held (onBody).
    if (length && !request_.bodyGate) body_.reserve(static_cast<size_t>(*length));
    return;
  }
  stream_ = std::make_shared<HttpBodyStream>(contentEncoded_ ? std::nullopt : length);
  bodyHead_ = head();
  bodyEtag_ = etag_;
  bodyLastModified_ = lastModified_;
  bodyAcceptsRanges_ = acceptsRanges_;
  // Here, not through the delegate queue: the player's first byte should not wait behind other
  // completions, and the start still comes before this transfer's own completion.
  request_.onBodyStart(*bodyHead_, stream_);
}

size_t CurlTransfer::onBody(char* data, size_t size, size_t count, void* self) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  const size_t taken = transfer->receive(data, size * count);
  transfer->noteChange();
  return taken;
}

size_t CurlTransfer::receive(char* data, size_t length) {
  auto* transfer = this;
  transfer->lastByte_ = std::chrono::steady_clock::now();
  if (!transfer->bodyBegun_) transfer->beginBody(std::string_view(data, length));
  if (length > transfer->maxBodyBytes_ - transfer->bodyBytes_) {
    transfer->bodyTooLarge_ = true;
    return 0;  // anything but `length` makes libcurl abort the transfer
  }
  // libcurl keeps a refused piece and offers it again once the transfer continues. A reader
  // that has fallen far behind paces its own transfer; one nobody waits for has no reader.
  if (transfer->waited_ && transfer->stream_ &&
      transfer->stream_->pauseUntilRead(transfer->resume_)) {
    return transfer->pauseForReader();
  }
  if (transfer->room_ && !transfer->roomAdmits(length)) {
    if (!transfer->waited_) {
      // Paused, it would hold its connection and its bytes for nobody.
      transfer->endedForRoom_ = true;
      return 0;
    }
    return transfer->stream_ ? transfer->pauseForReader() : transfer->pauseFor(Pause::room);
  }
  if (transfer->request_.bodyGate && !transfer->gateAdmits(length)) {
    return transfer->pauseFor(Pause::gate);
  }
  transfer->bodyBytes_ += length;
  if (transfer->request_.onBodyBytes) transfer->request_.onBodyBytes(length);
  if (transfer->stream_) {
    transfer->stream_->append(data, length);
  } else {
    transfer->body_.append(data, length);
  }
  return length;
}

int CurlTransfer::onConnectionReady(void* self, char* primaryIp, char*, int primaryPort,
                                    int localPort) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  transfer->hasConnection_ = true;
  if (transfer->request_.onConnectionWait) transfer->request_.onConnectionWait(false);
  // The origin has the word from here: its silence counts. While the body waits to go on after a
  // break, only its bytes are progress: an origin that accepts and drops every try, or sends a
  // head that is not the rest, must not hold the transfer for ever.
  if (!transfer->resuming_) transfer->lastByte_ = std::chrono::steady_clock::now();
  const char* hop = nullptr;
  curl_easy_getinfo(transfer->easy_, CURLINFO_EFFECTIVE_URL, &hop);
  if (hop != nullptr) {
    if (const auto reading = CurlUrlReading::of(hop)) transfer->hostKey_ = reading->origin();
  }
  transfer->noteChange();
  // libcurl runs this before every hop of a redirect: each hop's own connection decides.
  if (!carriesOneExchangeAtATime(transfer->easy_)) return CURL_PREREQFUNC_OK;
  const curl_socket_t socket =
      transfer->sockets_->find(primaryIp != nullptr ? primaryIp : "", primaryPort, localPort);
  if (socket == CURL_SOCKET_BAD || !holdsUnreadInput(socket)) return CURL_PREREQFUNC_OK;
  transfer->connectionOutOfStep_ = true;
  // Where the transfer goes on from, read only now that it must: this hop's URL and how many
  // redirects led to it in this try.
  const char* hopUrl = nullptr;
  curl_easy_getinfo(transfer->easy_, CURLINFO_EFFECTIVE_URL, &hopUrl);
  transfer->hopUrl_ = hopUrl != nullptr ? hopUrl : "";
  curl_easy_getinfo(transfer->easy_, CURLINFO_REDIRECT_COUNT, &transfer->hopRedirects_);
  // Nothing may read this connection again: whatever libcurl does with an aborted transfer's
  // connection, a shut one fails at once instead of answering a later request.
  ::shutdown(socket, SHUT_RDWR);
  return CURL_PREREQFUNC_ABORT;
}

size_t CurlTransfer::onHeader(char* data, size_t size, size_t count, void* self) {
  auto* transfer = static_cast<CurlTransfer*>(self);
  const size_t length = size * count;
  const std::string_view line(data, length);
  if (!transfer->resuming_) transfer->lastByte_ = std::chrono::steady_clock::now();
  // Each response of a redirect chain starts with its status line; only the last one counts.
  if (line.rfind("HTTP/", 0) == 0) {
    transfer->contentRange_.reset();
    transfer->contentEncoded_ = false;
    transfer->etag_.reset();
    transfer->lastModified_.reset();
    transfer->acceptsRanges_ = false;
    return length;
  }
  if (trim(line).empty()) {
    // The head has ended. One that does not go on with the broken body ends the transfer:
    // its bytes would be taken for the rest of another.
    if (transfer->resuming_) {
      if (!transfer->continuesTheBody()) {
        transfer->resumeRefused_ = true;
        return 0;
      }
      transfer->resuming_ = false;
    }
    // The head is whole: whether the answer multiplexes is known.
    transfer->noteChange();
    return length;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return length;
  const auto name = trim(line.substr(0, colon));
  const auto value = trim(line.substr(colon + 1));
  if (caseInsensitiveEquals(name, "content-range")) {
    transfer->contentRange_ = std::string(value);
  } else if (caseInsensitiveEquals(name, "content-encoding") &&
             !caseInsensitiveEquals(value, "identity")) {
    transfer->contentEncoded_ = true;
  } else if (caseInsensitiveEquals(name, "etag")) {
    transfer->etag_ = std::string(value);
  } else if (caseInsensitiveEquals(name, "last-modified")) {
    transfer->lastModified_ = std::string(value);
  } else if (caseInsensitiveEquals(name, "accept-ranges")) {
    transfer->acceptsRanges_ = caseInsensitiveEquals(value, "bytes");
  }
  return length;
}

HttpResponse CurlTransfer::head() const {
  HttpResponse response;
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  response.statusCode = static_cast<int>(status);
  const char* effective = nullptr;
  curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &effective);
  response.url = effective != nullptr ? effective : url_;
  const char* contentType = nullptr;
  curl_easy_getinfo(easy_, CURLINFO_CONTENT_TYPE, &contentType);
  if (contentType != nullptr) {
    const std::string_view value = trim(contentType);
    const size_t semicolon = value.find(';');
    const std::string_view type = trim(value.substr(0, semicolon));
    if (!type.empty()) {
      std::string mime(type);
      std::transform(mime.begin(), mime.end(), mime.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      // A multipart body is split at the boundary its parameters name: without them nobody
      // can read it (a multi-range answer is one).
      if (mime.rfind("multipart/", 0) == 0 && semicolon != std::string_view::npos) {
        mime += value.substr(semicolon);
      }
      response.mimeType = std::move(mime);
    }
  }
  response.contentRange = contentRange_;
  return response;
}

bool CurlTransfer::retryOnFreshConnection(CURLcode code) {
  if (code != CURLE_ABORTED_BY_CALLBACK || !connectionOutOfStep_ || hopUrl_.empty()) return false;
  // A try that starts over opens a new connection for its first hop: input there came before
  // any request, from an origin that speaks first, and another connection would meet the same.
  if (startedOver_ && hopRedirects_ == 0) return false;
  // The request at fault never left, and a GET may be asked again. Only that hop is: asking an
  // earlier one again would spend a redirect that works once (a signed, single-use link) and
  // could lead onto another stale connection of the same origin. libcurl opens a new connection
  // only for a transfer's first URL, so the hop becomes the first URL of the next try. Each try
  // either fails at its new first connection or gets further along the chain, whose redirects
  // count against one bound over all tries; so the tries are few.
  startedOver_ = true;
  connectionOutOfStep_ = false;
  hasConnection_ = false;
  redirectsFollowed_ += hopRedirects_;
  url_ = std::move(hopUrl_);
  hopUrl_.clear();
  curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, HttpClient::kMaxRedirects - redirectsFollowed_);
  curl_easy_setopt(easy_, CURLOPT_FRESH_CONNECT, 1L);
  keepCredentialsOnTheirOrigin();
  noteChange();
  return true;
}

void CurlTransfer::keepCredentialsOnTheirOrigin() {
  // libcurl sends the first URL's user name and password on to later hops of the same origin,
  // even when their URLs do not repeat them; a hop that became the first URL would lose them. To
  // any other origin they never go, as before.
  const auto first = CurlUrlReading::of(request_.url.toString());
  const auto hop = CurlUrlReading::of(url_);
  const bool carried =
      first && first->user() && hop && !hop->user() && first->origin() == hop->origin();
  curl_easy_setopt(easy_, CURLOPT_USERNAME, carried ? first->user()->c_str() : nullptr);
  curl_easy_setopt(easy_, CURLOPT_PASSWORD,
                   carried && first->password() ? first->password()->c_str() : nullptr);
}

size_t CurlTransfer::holding(size_t length) const {
  return (passesStream() ? stream_->unreadBytes() : bodyBytes_) + length;
}

bool CurlTransfer::roomAdmits(size_t length) {
  if (room_(*this, holding(length), false)) return true;
  if (!waited_ || !stream_) return false;
  // A player reading the body never waits for room: what gives way is keeping it for the store.
  if (stream_->keeping()) {
    stopKeeping();
    if (room_(*this, holding(length), false)) return true;
  }
  // Still short, it runs one piece ahead of its player: a player holds at most that past the
  // budget, and one that reads gets its bytes as fast as it takes them.
  if (stream_->pauseUntilRead(resume_, 1)) return false;
  return room_(*this, holding(length), true);
}

void CurlTransfer::park() {
  parked_ = true;
  hasConnection_ = false;
  if (request_.onConnectionWait) request_.onConnectionWait(true);
  // The capacity stays: it is the room the gate has let the body have.
  body_.clear();
  bodyBytes_ = 0;
  counted_ = 0;
  noteChange();
}

std::optional<HttpError> CurlTransfer::unpark() {
  parked_ = false;
  pause_ = Pause::none;
  // From the first URL again, with every redirect still to follow.
  connectionOutOfStep_ = false;
  hopUrl_.clear();
  hopRedirects_ = 0;
  redirectsFollowed_ = 0;
  startedOver_ = false;
  rateWindowStart_ = std::chrono::steady_clock::now();
  rateWindowBytes_ = 0;
  auto error = freshHandle();
  noteChange();
  return error;
}

std::optional<HttpError> CurlTransfer::freshHandle() {
  curl_easy_cleanup(easy_);
  easy_ = nullptr;
  if (headers_ != nullptr) curl_slist_free_all(headers_);
  headers_ = nullptr;
  errorBuffer_[0] = '\0';
  return prepare(*sockets_);
}

bool CurlTransfer::maySetAside() const {
  // Only a body whose rest can be asked for and checked: a player whose body could not go on
  // would be reset where, kept paused, it would have come whole.
  return waited_ && stream_ && !resuming_ && bodyAcceptsRanges_ && !contentEncoded_ &&
         !request_.range && !request_.timeout && !(bodyEtag_ && bodyEtag_->starts_with("W/")) &&
         multiplexes();
}

size_t CurlTransfer::pauseForReader() {
  const size_t paused = pauseFor(Pause::reader);
  if (!maySetAside()) return paused;
  settingAside_ = true;
  return 0;  // ends the transfer: its stream is reset, and the piece is asked for again later
}

bool CurlTransfer::setAsideAfter(CURLcode code) {
  // libcurl reports the refused piece as a write error; whatever it names, the stream ended
  // because this client refused it, and its rest is asked for and checked as after a break.
  if (!settingAside_ || code == CURLE_OK) return false;
  settingAside_ = false;
  setAside_ = true;
  hasConnection_ = false;
  if (request_.onConnectionWait) request_.onConnectionWait(true);
  // The rest is asked where the body came from, after any redirects.
  const char* effective = nullptr;
  curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &effective);
  if (effective != nullptr) url_ = effective;
  noteChange();
  return true;
}

bool CurlTransfer::waitsForItsReader() {
  // It goes on once the reader has taken half its look-ahead: a reader slower than its origin
  // then costs the origin one request per megabyte it reads, not one per piece.
  return stream_->pauseUntilRead(resume_, HttpBodyStream::kMaxUnreadBytes / 2);
}

std::optional<HttpError> CurlTransfer::goOnAfterSetAside() {
  setAside_ = false;
  // Time set aside is no silence of the origin's.
  lastByte_ += std::chrono::steady_clock::now() - pausedSince_;
  // The handle libcurl had paused may keep that state and the piece it offered; a fresh one
  // starts clean, and a piece not taken is asked for again with the rest.
  std::string rest = std::move(url_);
  if (auto error = freshHandle()) {
    noteChange();
    return error;
  }
  url_ = std::move(rest);
  // Its answer's head is checked as after a break, which it does not count as one.
  resuming_ = true;
  goOnAfterBreak();
  return std::nullopt;
}

bool CurlTransfer::keepsStream() const { return stream_ && stream_->keeping(); }

bool CurlTransfer::passesStream() const { return stream_ && !stream_->keeping(); }

void CurlTransfer::stopKeeping() {
  if (!stream_ || !room_) return;
  // Counts only what is still held: the bytes its reader took go back to the budget.
  room_(*this, stream_->stopKeeping(), true);
  noteChange();
}

size_t CurlTransfer::pauseFor(Pause cause) {
  pause_ = cause;
  pausedSince_ = std::chrono::steady_clock::now();
  // Paused for anything but room, it no longer takes room first: another may.
  if (cause != Pause::room && pausedElsewhere_) pausedElsewhere_();
  return CURL_WRITEFUNC_PAUSE;
}

bool CurlTransfer::gateAdmits(size_t length) {
  const size_t needed = bodyBytes_ + length;
  const size_t declared = static_cast<size_t>(declaredLength_.value_or(0));
  if (stream_) {
    if (needed <= gateAdmitted_) return true;
    if (!request_.bodyGate(needed - gateAdmitted_, resume_)) return false;
    gateAdmitted_ = needed;
    return true;
  }
  // The gate counts the body's room, not its bytes, and the room follows what has arrived: it
  // doubles, by at most the look-ahead a step, up to the declared length when one is given.
  // While the bytes move over, the old room is held too; so is the body shrunk to its size at
  // the end (finish()). Twice the new room covers both; the declared length made at the first
  // piece moves nothing, and counts once.
  if (needed <= body_.capacity()) return true;
  const size_t grown = std::min(std::max(needed, 2 * body_.capacity()),
                                needed + std::min(needed, kMaxBodyLookAheadBytes));
  size_t room = std::min(grown, maxBodyBytes_);
  if (declared >= needed) room = std::min(room, declared);
  const size_t wanted = room == declared && body_.empty() ? room : 2 * room;
  if (wanted > gateAdmitted_) {
    if (!request_.bodyGate(wanted - gateAdmitted_, resume_)) return false;
    gateAdmitted_ = wanted;
  }
  body_.reserve(room);
  return true;
}

size_t CurlTransfer::weight() const {
  return std::max(bodyBytes_, static_cast<size_t>(declaredLength_.value_or(0)));
}

size_t CurlTransfer::remaining() const {
  const size_t whole = declaredLength_ ? static_cast<size_t>(*declaredLength_) : maxBodyBytes_;
  return whole > bodyBytes_ ? whole - bodyBytes_ : 0;
}

bool CurlTransfer::multiplexes() const {
  if (!bodyBegun_) return false;
  long version = 0;
  curl_easy_getinfo(easy_, CURLINFO_HTTP_VERSION, &version);
  return version >= CURL_HTTP_VERSION_2_0;
}

void CurlTransfer::resume() {
  if (pause_ == Pause::none) return;
  // Time paused by this client is no silence of the origin's.
  lastByte_ += std::chrono::steady_clock::now() - pausedSince_;
  // Time paused for room was no fault of the origin's: the minimum rate counts from now.
  if (pause_ != Pause::reader) {
    rateWindowStart_ = std::chrono::steady_clock::now();
    rateWindowBytes_ = bodyBytes_;
  }
  pause_ = Pause::none;
  // libcurl may offer the kept piece at once, from within this call, and the gate may pause
  // the transfer again.
  noteChange();
  curl_easy_pause(easy_, CURLPAUSE_CONT);
}

void CurlTransfer::abandon() {
  waited_ = false;
  noteChange();
  if (minBytesPerSecond_ != 0) return;
  minBytesPerSecond_ = HttpClient::kMinAbandonedBytesPerSecond;
  minRateWindow_ = std::max(std::chrono::seconds(1), settings_.abandonedRateWindow);
  rateWindowStart_ = std::chrono::steady_clock::now();
  rateWindowBytes_ = bodyBytes_;
}

bool CurlTransfer::idleReaderFor(std::chrono::steady_clock::duration longer,
                                 std::chrono::steady_clock::time_point now) const {
  return pause_ == Pause::reader && now - pausedSince_ >= longer;
}

bool CurlTransfer::slowerThanMinimum(std::chrono::steady_clock::time_point now) {
  if (minBytesPerSecond_ == 0 || !bodyBegun_ || pause_ == Pause::room || pause_ == Pause::gate)
    return false;
  if (now - rateWindowStart_ < minRateWindow_) return false;
  const auto least =
      static_cast<size_t>(minBytesPerSecond_) * static_cast<size_t>(minRateWindow_.count());
  if (bodyBytes_ - rateWindowBytes_ < least) return true;
  rateWindowStart_ = now;
  rateWindowBytes_ = bodyBytes_;
  return false;
}

std::string CurlTransfer::minimumRateText() const {
  return std::to_string(minBytesPerSecond_) + " bytes/s over " +
         std::to_string(minRateWindow_.count()) + " s";
}

bool CurlTransfer::silentFor(std::chrono::steady_clock::duration longer,
                             std::chrono::steady_clock::time_point now) const {
  if (pause_ != Pause::none || (!hasConnection_ && !resuming_)) return false;
  return now - lastByte_ >= longer;
}

std::optional<std::chrono::steady_clock::time_point> CurlTransfer::breakMayResume(
    CURLcode code, std::chrono::steady_clock::time_point now) {
  // Only a body already handed to a reader who waits: anything else is answered with its error
  // before any byte went (a 5xx), as a direct fetch would fail. A coded body counts decoded
  // bytes, which a Range cannot name; a part asked for is the player's own to ask again.
  if (!stream_ || !waited_ || endedForRoom_ || bodyTooLarge_ || resumeRefused_ || contentEncoded_ ||
      request_.range || request_.timeout) {
    return std::nullopt;
  }
  switch (code) {
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_GOT_NOTHING:
      // The connection broke off; a try that did not reach the origin is bounded by silence.
      if (!resuming_ && ++breaks_ > HttpClient::kMaxBodyBreaks) return std::nullopt;
      break;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
      if (!resuming_) return std::nullopt;
      break;
    default:
      return std::nullopt;
  }
  if (declaredLength_ && bodyBytes_ >= *declaredLength_) return std::nullopt;
  if (pause_ != Pause::none) {
    lastByte_ += now - pausedSince_;
    pause_ = Pause::none;
    noteChange();
  }
  if (!resuming_) {
    // Where the broken answer came from: the rest is asked there, after any redirects.
    const char* effective = nullptr;
    curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &effective);
    if (effective != nullptr) url_ = effective;
    resuming_ = true;
    nextResumeDelay_ = HttpClient::kFirstResumeDelay;
    // The silence counts from the last byte, not from the break.
    return now;
  }
  const auto delay = nextResumeDelay_;
  nextResumeDelay_ = std::min(2 * nextResumeDelay_, HttpClient::kMaxResumeDelay);
  return now + delay;
}

void CurlTransfer::goOnAfterBreak() {
  hasConnection_ = false;
  pause_ = Pause::none;
  rangeAsked_ = std::to_string(bodyBytes_) + "-";
  curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
  // The rest of this very resource, not wherever a redirect would lead now.
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy_, CURLOPT_RANGE, rangeAsked_.c_str());
  // Byte offsets name the identity coding; the broken answer had none either.
  curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING, nullptr);
  keepCredentialsOnTheirOrigin();
  noteChange();
}

bool CurlTransfer::continuesTheBody() const {
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  if (status != 206 || !contentRange_ || contentEncoded_) return false;
  // "bytes first-last/whole", starting at the byte reached.
  uint64_t first = 0;
  uint64_t last = 0;
  char whole[32] = {};
  if (std::sscanf(contentRange_->c_str(), "bytes %" SCNu64 "-%" SCNu64 "/%31s", &first, &last,
                  whole) != 3 ||
      first != bodyBytes_ || last < first) {
    return false;
  }
  if (declaredLength_) {
    if (std::to_string(*declaredLength_) != whole || last + 1 != *declaredLength_) return false;
  }
  // Each validator the first answer gave must come back the same: otherwise the resource may
  // have changed between the two, and the bytes would not make one body.
  if (bodyEtag_ && (etag_ != bodyEtag_ || bodyEtag_->starts_with("W/"))) return false;
  if (bodyLastModified_ && lastModified_ != bodyLastModified_) return false;
  return true;
}

HttpResult CurlTransfer::finish(CURLcode code) {
  if (request_.onFinished) request_.onFinished();
  if (endedForRoom_) {
    if (stream_) stream_->fail();
    return HttpError{HttpErrorCause::cancelled,
                     "nobody waits for it, and the bodies in flight have no room left"};
  }
  if (bodyTooLarge_ || code == CURLE_FILESIZE_EXCEEDED) {
    if (stream_) stream_->fail();
    return HttpError{
        HttpErrorCause::dataLengthExceedsMaximum,
        "the response body is larger than " + std::to_string(maxBodyBytes_) + " bytes"};
  }
  if (connectionOutOfStep_) {
    return HttpError{HttpErrorCause::badServerResponse,
                     "the origin sent bytes before it was asked anything"};
  }
  if (resumeRefused_) {
    if (stream_) stream_->fail();
    return HttpError{HttpErrorCause::networkConnectionLost,
                     "the body broke off, and the origin did not answer with the rest of it"};
  }
  if (code != CURLE_OK) {
    if (stream_) stream_->fail();
    std::string message = errorBuffer_[0] != '\0' ? std::string(errorBuffer_.data())
                                                  : std::string(curl_easy_strerror(code));
    return HttpError{causeOf(code), std::move(message)};
  }
  if (resuming_) {
    // Went on after a break, but no answer carried the rest of the body.
    if (stream_) stream_->fail();
    return HttpError{HttpErrorCause::networkConnectionLost,
                     "the body broke off and its rest could not be had"};
  }
  // Once it went on after a break or a set-aside, the answer is the one the reader was given.
  HttpResponse response = !rangeAsked_.empty() && bodyHead_ ? *bodyHead_ : head();
  // The streamed body's own buffer becomes the whole body: the reader and the completion share
  // the bytes.
  // A gated body grown past its declared length keeps up to twice its bytes in room, and is
  // held for as long as what it is (a stored playlist) lives: it is shrunk to its size.
  if (!stream_ && request_.bodyGate &&
      body_.capacity() - body_.size() > body_.size() / kMostUnusedBodyRoomShare) {
    body_.shrink_to_fit();
  }
  // A stream held here alone has lost its reader: its unread end is not kept for anyone.
  response.body = stream_ ? stream_->complete(stream_.use_count() > 1) : Data(std::move(body_));
  response.bodyBytesReceived = bodyBytes_;
  return response;
}

}  // namespace ombrelia::platform
