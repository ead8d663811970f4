#pragma once
// The HTTP client engine's thread only: made there, run by libcurl there, finished there.

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/CurlSockets.hpp"
#include "platform/HttpBodyStream.hpp"
#include "platform/HttpClient.hpp"

namespace ombrelia::platform {

// One GET on a libcurl easy handle: its options, the body and headers it collects, and the
// result it makes when libcurl is done with it.
class CurlTransfer {
 public:
  // The most a gated body's room runs ahead of what has arrived (and never more than has
  // arrived): an origin's declared length is only believed as its bytes come, so one that
  // declares megabytes and trickles holds about what it sent, not what it promised. Large
  // enough that the room of a body of tens of MiB grows in a few steps.
  static constexpr size_t kMaxBodyLookAheadBytes = 8u << 20;
  // Why a transfer is paused, each undone by its own resume.
  enum class Pause { none, gate, room, reader };
  // Asked before the body holds more than it counts already, with what it would hold in all;
  // false pauses (or, nobody waiting for it, ends) the transfer. With `past`, the bytes are
  // counted whatever the budget: the one piece a player waits for. Less than it counts gives the
  // rest back. Set by the client's engine.
  using RoomGate = std::function<bool(CurlTransfer& transfer, size_t wouldHold, bool past)>;

  CurlTransfer(uint64_t identifier, HttpRequest request, HttpClient::Completion completion,
               const HttpClient::Settings& settings);
  ~CurlTransfer();
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  uint64_t identifier() const { return identifier_; }
  CURL* easy() const { return easy_; }

  // Makes and configures the easy handle, its sockets opened through `sockets` (which outlives
  // the transfer); an error when the request cannot be sent at all.
  std::optional<HttpError> prepare(CurlSockets& sockets);
  // True when the transfer stopped before a request went out on a connection that held bytes
  // nobody asked for, and is set to go on from the hop that met it, on a new connection; the
  // caller then hands the handle back to libcurl.
  bool retryOnFreshConnection(CURLcode code);
  // The outcome once libcurl reports the transfer done with `code`.
  HttpResult finish(CURLcode code);
  HttpClient::Completion takeCompletion() { return std::move(completion_); }

  // False once nobody waits for the answer (HttpTask::abandon).
  bool waited() const { return waited_; }
  // From now, the body keeps to the minimum rate of one nobody waits for, unless it has a
  // minimum of its own.
  void abandon();
  // What the body holds, or its declared length once known: what it will hold when whole.
  size_t weight() const;
  // The bytes still to come: up to the cap when no length is declared.
  size_t remaining() const;
  // Whether libcurl gave the current hop a connection (rather than keeping it waiting for one).
  bool hasConnection() const { return hasConnection_; }
  // The current hop's "scheme://host:port", as libcurl bounds connections per host.
  const std::string& hostKey() const { return hostKey_; }
  // Whether the answer came over a connection that carries many exchanges at once (HTTP/2).
  bool multiplexes() const;
  // How a paused transfer asks the engine to continue it; set once it has started.
  void setResume(std::function<void()> resume) { resume_ = std::move(resume); }
  // Continues the transfer if anything paused it.
  void resume();
  // Sets the client's budget of bodies in flight, and what to tell it when the transfer pauses
  // for anything but room (another may then take the room it would have had).
  void setRoom(RoomGate room, std::function<void()> pausedElsewhere) {
    room_ = std::move(room);
    pausedElsewhere_ = std::move(pausedElsewhere);
  }
  // Told after each change of what the engine keeps its indices by (pause, connection, host,
  // waited, kept, counted, parked, set aside, the body's bytes), so that it never has to look at
  // every transfer to find them. Set by the client's engine.
  void setObserver(std::function<void(CurlTransfer&)> changed) { changed_ = std::move(changed); }
  // What the body counts in the client's budget; the engine adds what it admits.
  size_t counted() const { return counted_; }
  void count(size_t bytes) { counted_ += bytes; }
  void uncount(size_t bytes) { counted_ -= bytes; }
  // Whether the body goes to a reader as it arrives and is still kept whole for the completion.
  bool keepsStream() const;
  // Whether the body goes to a reader and is no longer kept: it holds only what is unread.
  bool passesStream() const;
  // The body as its reader takes it, when it goes to one.
  const std::shared_ptr<HttpBodyStream>& stream() const { return stream_; }
  // Short of room: the streamed body is no longer kept whole, only what its reader has not
  // taken yet is held and counted. Its reader still gets every byte; its completion comes with
  // no body (nothing to store).
  void stopKeeping();
  std::chrono::steady_clock::time_point pausedSince() const { return pausedSince_; }
  // Whether, paused at its body gate, it may give its connection up: nothing of its body has
  // gone to anyone, so it can be asked again from the start.
  bool mayGiveConnectionUp() const { return pause_ == Pause::gate && !stream_ && !parked_; }
  // Gives its connection up while it waits at its gate: the caller has taken the handle from
  // libcurl. What the body had is dropped; the room the gate let it have stays its own, so the
  // body fills it again without asking. It waits without a connection until the gate resumes it.
  void park();
  bool parked() const { return parked_; }
  // A new handle for the request, from its first URL, to hand to libcurl again; an error when
  // none can be made.
  std::optional<HttpError> unpark();
  // After libcurl ended the transfer with `code`: whether it was ended to be set aside, its
  // reader having enough unread on a connection that carries other streams (HTTP/2). Paused
  // there, libcurl would go on taking what the server sends for it, up to the stream's window
  // (tens of MiB), outside every budget here; ended, the stream is reset and nothing is held
  // for it. The caller has taken the handle from libcurl; the transfer stays paused for its
  // reader, holds no connection, and counts no break. It goes on from the byte reached once its
  // reader takes more.
  bool setAsideAfter(CURLcode code);
  bool isSetAside() const { return setAside_; }
  // Once its reader took some: whether it still has plenty unread, and the body waits for the
  // next read before it goes on.
  bool waitsForItsReader();
  // Sets a fresh handle to ask for the rest of the body from the byte reached; the caller hands
  // it back to libcurl. An error when none can be made.
  std::optional<HttpError> goOnAfterSetAside();
  Pause pause() const { return pause_; }
  bool bodyBegun() const { return bodyBegun_; }
  // Whether the transfer has been paused by its reader, who took nothing, for `longer`.
  bool idleReaderFor(std::chrono::steady_clock::duration longer,
                     std::chrono::steady_clock::time_point now) const;
  // Whether the body, since it began, came slower than the request's minimum rate over a whole
  // window; time paused for room does not count.
  bool slowerThanMinimum(std::chrono::steady_clock::time_point now);
  // The minimum rate, as a reason for ending the transfer.
  std::string minimumRateText() const;
  // Whether no byte has come for `longer` while the origin had the word: from when the current
  // hop got its connection, or while the transfer waits to go on after a break. Time paused by
  // this client does not count.
  bool silentFor(std::chrono::steady_clock::duration longer,
                 std::chrono::steady_clock::time_point now) const;
  // After libcurl ended the transfer with `code`: whether the body, already handed to its reader,
  // broke off and may go on from the byte reached; then the handle is set aside until
  // goOnAfterBreak(), due at the time returned.
  std::optional<std::chrono::steady_clock::time_point> breakMayResume(
      CURLcode code, std::chrono::steady_clock::time_point now);
  // Sets the handle to ask for the rest of the body, from the byte reached; the caller then
  // hands it back to libcurl.
  void goOnAfterBreak();

 private:
  static size_t onBody(char* data, size_t size, size_t count, void* self);
  size_t receive(char* data, size_t length);
  void noteChange() {
    if (changed_) changed_(*this);
  }
  static size_t onHeader(char* data, size_t size, size_t count, void* self);
  // Runs once a connection is ready for a request of the transfer (each hop of a redirect has
  // its own), new or reused, before the request goes.
  static int onConnectionReady(void* self, char* primaryIp, char* localIp, int primaryPort,
                               int localPort);
  // The first body bytes of the final answer: reserves the body, or starts its stream.
  void beginBody(std::string_view firstPiece);
  // Whether the request's body gate lets the body hold `length` more bytes, its room following
  // what has arrived; makes the body's room once it does.
  bool gateAdmits(size_t length);
  // What the body would hold with `length` more bytes: all of it, or, not kept, what is unread.
  size_t holding(size_t length) const;
  // Whether the client's budget lets the body hold `length` more bytes. A body a player reads
  // gives up being kept rather than wait for room, and past the budget runs only one piece ahead
  // of its player: false then pauses it for its reader, never for room.
  bool roomAdmits(size_t length);
  // Pauses the transfer for `cause`: what onBody returns.
  size_t pauseFor(Pause cause);
  // Pauses it for its reader, or ends it to be set aside where that is the sound way to wait:
  // what onBody returns.
  size_t pauseForReader();
  // Whether, paused for its reader, it should rather be set aside (setAsideAfter).
  bool maySetAside() const;
  // What the answer said before its body: status, final URL, type and range.
  HttpResponse head() const;
  // At the end of an answer's head while the body goes on after a break: whether it is the rest
  // of the same body (206 from the byte reached, of the same whole and validators).
  bool continuesTheBody() const;
  // After the transfer went on from a later hop: the credentials of the first URL go with it as
  // far as libcurl would have sent them.
  void keepCredentialsOnTheirOrigin();
  // An easy handle that never was paused or broke, with the options of the first try; an error
  // when none can be made.
  std::optional<HttpError> freshHandle();

  uint64_t identifier_;
  HttpRequest request_;
  HttpClient::Completion completion_;
  HttpClient::Settings settings_;
  size_t maxBodyBytes_;

  CURL* easy_ = nullptr;
  CurlSockets* sockets_ = nullptr;
  curl_slist* headers_ = nullptr;
  std::array<char, CURL_ERROR_SIZE> errorBuffer_{};
  // As requested in the current try: the final URL when libcurl reports none.
  std::string url_;
  std::string body_;
  size_t bodyBytes_ = 0;
  bool bodyTooLarge_ = false;
  bool bodyBegun_ = false;
  // Decoded bytes differ in number from the declared length.
  bool contentEncoded_ = false;
  std::optional<std::string> contentRange_;
  std::shared_ptr<HttpBodyStream> stream_;  // when the body is handed over as it arrives
  // The connection offered for the request already held input: the tail of an earlier answer
  // that overran its length, or the start of one nobody asked for.
  bool connectionOutOfStep_ = false;
  // The hop that met it: its URL and the redirects that led there in the current try.
  std::string hopUrl_;
  long hopRedirects_ = 0;
  // Redirects followed in earlier tries, which the bound on redirects counts too.
  long redirectsFollowed_ = 0;
  bool startedOver_ = false;
  bool waited_ = true;
  bool hasConnection_ = false;
  bool parked_ = false;
  bool settingAside_ = false;  // ended by onBody to be set aside
  bool setAside_ = false;
  Pause pause_ = Pause::none;
  std::chrono::steady_clock::time_point pausedSince_{};
  // Ended because nobody waits for it and the client's budget had no room left.
  bool endedForRoom_ = false;
  RoomGate room_;
  std::function<void()> pausedElsewhere_;
  std::function<void(CurlTransfer&)> changed_;
  size_t counted_ = 0;
  long minBytesPerSecond_ = 1;
  std::chrono::seconds minRateWindow_{1};
  std::chrono::steady_clock::time_point rateWindowStart_{};
  size_t rateWindowBytes_ = 0;
  size_t gateAdmitted_ = 0;  // bytes the body gate has let the body hold
  std::string hostKey_;
  std::optional<uint64_t> declaredLength_;
  std::function<void()> resume_;
  // The silence rule's clock: when a byte last came, shifted by any time paused since.
  std::chrono::steady_clock::time_point lastByte_{};
  // The validators of the answer in hand, and of the one whose body the reader has.
  std::optional<std::string> etag_;
  std::optional<std::string> lastModified_;
  std::optional<std::string> bodyEtag_;
  std::optional<std::string> bodyLastModified_;
  // The answer in hand says a Range of its bytes may be asked for.
  bool acceptsRanges_ = false;
  bool bodyAcceptsRanges_ = false;
  // The head the reader was given, which the completion keeps once the body went on elsewhere.
  std::optional<HttpResponse> bodyHead_;
  // From a break until an answer goes on with the body: silence counts even without a
  // connection, and the answer's head is checked.
  bool resuming_ = false;
  bool resumeRefused_ = false;
  int breaks_ = 0;
  std::string rangeAsked_;
  std::chrono::milliseconds nextResumeDelay_{0};
};

}  // namespace ombrelia::platform
