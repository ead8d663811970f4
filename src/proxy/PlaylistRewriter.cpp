#include "proxy/PlaylistRewriter.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/CurlUrlReading.hpp"
#include "platform/FreedMemory.hpp"
#include "platform/url/UrlReference.hpp"
#include "platform/url/Utf8.hpp"
#include "playlist/parser/PlaylistLines.hpp"
#include "proxy/LocalUrlLength.hpp"
#include "proxy/OriginCredentials.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "proxy/RewrittenText.hpp"

namespace ombrelia {

namespace {

// What a byte of a URI that nothing escapes takes, rewritten: kept as it is by browsers, by our
// server in a path or query, and in the origin URL's item, it is written once in each.
constexpr size_t kLeastBytesPerUriByte = 2;

// Whether nothing escapes the byte: letters, digits and "-._~!$()*+,;:@/?".
constexpr bool nothingEscapes(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         std::string_view("-._~!$()*+,;:@/?").find(static_cast<char>(c)) != std::string_view::npos;
}

// How many bytes of `uri` nothing escapes, counted sixteen at a time: every byte of every URI
// of a playlist is counted, and a signed query is kilobytes. As signed bytes, those past 0x7F
// are negative and fall in none of the ranges.
size_t bytesNothingEscapes(std::string_view uri) {
  using Block = signed char __attribute__((vector_size(16)));
  using Counts = unsigned char __attribute__((vector_size(16)));
  constexpr size_t kBlockBytes = 16;
  // A byte's count in a block of counts reaches at most this before it is added up.
  constexpr int kMaxBlocksCounted = 255;
  // Nothing escapes 0x28-0x3B "()*+,-./0-9:;", 0x3F-0x5A "?@A-Z", 0x61-0x7A "a-z", nor
  // "!", "$", "_" and "~".
  const Block below28 = Block{} + 0x27, past3B = Block{} + 0x3C, below3F = Block{} + 0x3E,
              past5A = Block{} + 0x5B, below61 = Block{} + 0x60, past7A = Block{} + 0x7B;
  const Block bang = Block{} + '!', dollar = Block{} + '$', underscore = Block{} + '_',
              tilde = Block{} + '~';
  size_t kept = 0;
  size_t at = 0;
  while (at + kBlockBytes <= uri.size()) {
    Counts counts = {};
    for (int n = 0; n < kMaxBlocksCounted && at + kBlockBytes <= uri.size();
         ++n, at += kBlockBytes) {
      Block block;
      std::memcpy(&block, uri.data() + at, kBlockBytes);
      const Block nothing = ((block > below28) & (block < past3B)) |
                            ((block > below3F) & (block < past5A)) |
                            ((block > below61) & (block < past7A)) | (block == bang) |
                            (block == dollar) | (block == underscore) | (block == tilde);
      Counts ones;  // each -1 counts one
      std::memcpy(&ones, &nothing, kBlockBytes);
      counts -= ones;
    }
    for (size_t k = 0; k < kBlockBytes; ++k) kept += counts[k];
  }
  for (; at < uri.size(); ++at) kept += nothingEscapes(static_cast<unsigned char>(uri[at])) ? 1 : 0;
  return kept;
}

// The attribute whose value tag lines name a URI by.
constexpr std::string_view kUriAttribute = "URI=\"";

// Calls `sink` with the value of each URI attribute of the tag line, in order: where it starts
// and its text. A value without its closing quote ends the search, as it ends the rewriting.
template <typename Sink>
void forEachUriAttribute(std::string_view line, Sink&& sink) {
  size_t search = 0;
  while (search < line.size()) {
    const size_t at = line.find(kUriAttribute, search);
    if (at == std::string_view::npos) return;
    const size_t valueStart = at + kUriAttribute.size();
    const size_t valueEnd = line.find('"', valueStart);
    if (valueEnd == std::string_view::npos) return;
    if (!sink(valueStart, line.substr(valueStart, valueEnd - valueStart))) return;
    search = valueEnd + 1;
  }
}

// Whether a URI names its own host, as written: "//host/..." or "http(s)://host/...", "\\" as
// good as "/" after those schemes. Read as anything else (a tab inside the slashes, which
// readers drop), it is taken to keep the base's host and path, which costs more.
bool namesItsOwnHost(std::string_view uri) {
  const std::string_view text = UrlReference::trimmed(uri);
  auto slashes = [](std::string_view rest) {
    return rest.size() >= 2 && (rest[0] == '/' || rest[0] == '\\') &&
           (rest[1] == '/' || rest[1] == '\\');
  };
  if (slashes(text)) return true;
  for (const std::string_view scheme : {std::string_view("http:"), std::string_view("https:")}) {
    if (text.size() < scheme.size()) continue;
    bool same = true;
    for (size_t i = 0; i < scheme.size(); ++i) {
      same = same && std::tolower(static_cast<unsigned char>(text[i])) == scheme[i];
    }
    if (same && slashes(text.substr(scheme.size()))) return true;
  }
  return false;
}

// The bytes "http://127.0.0.1:65535", as local URLs are measured, take beyond what a local URL
// for `port` writes there.
size_t portSlack(int port) {
  constexpr std::string_view kLoopback = "http://127.0.0.1/";
  Url written = *Url::parse(kLoopback);
  written.setPort(port);
  const size_t portBytes = written.toString().size() - kLoopback.size();
  return std::string_view(":65535").size() - std::min<size_t>(portBytes, 6);
}

}  // namespace

struct PlaylistRewriter::Base {
  Base(const Url& url, int port)
      : references(url), localLength(references), slack(portSlack(port)) {
    if (auto origin = references.baseOrigin()) curlBase = origin->toString();
    mostLocalBeyondUri = std::max(mostLocalBytesOfBase(references), mostLocalBytesOfOwnHost()) +
                         kMostBytesPerUriBeyond + std::string_view(":65535").size();
  }

  // Whether the local URL of `reference` is within what our server serves whatever its bytes
  // become, so that it need not be measured: true of nearly every URI under a URL of ordinary
  // length, where measuring would take a third of the rewriting.
  bool surelyServed(std::string_view reference) const {
    return reference.size() <= ReverseProxyURL::kMaxLocalURLBytesServed / kMostBytesPerUriByte &&
           mostLocalBeyondUri + kMostBytesPerUriByte * reference.size() <=
               ReverseProxyURL::kMaxLocalURLBytesServed;
  }

  UrlReference references;
  LocalUrlLength localLength;
  // What LocalUrlLength counts for a five-digit port beyond the port local URLs are written with.
  size_t slack;
  // The most a local URL takes beyond what its URI's own bytes become.
  size_t mostLocalBeyondUri = 0;
  // What libcurl reads a reference against: the playlist's URL without its path and query.
  // Where a reference names no origin of its own it keeps the base's, and libcurl finds the
  // same origin, user name and password in it as in the whole URL; reading the whole URL again
  // for each reference would cost its length each time.
  std::optional<std::string> curlBase;
  // Lines this playlist wrote about its URIs, and those past the bound that it did not write.
  mutable size_t urisLogged = 0;
  mutable size_t urisNotLogged = 0;
};

struct PlaylistRewriter::Reading {
  enum class Kind { asWritten, leftOut, local };
  Kind kind = Kind::asWritten;
  // Why it was not read, when it was not.
  std::optional<UrlReference::Refusal> refusal;
  // Read, with what its local URL takes; `local` only when that is within what our server
  // serves.
  std::optional<UrlReference::Resolution> resolved;
  LocalUrlLength::Figures figures;
  bool tooLong = false;
};

size_t PlaylistRewriter::mostRewrittenBytes(std::string_view playlist, const Url& base) {
  // A URI that names its own host takes nothing of the playlist's URL; any other may keep all
  // of it, as far as its local form goes, and should it add an escape that does not decode to
  // UTF-8, every escape of the path it keeps is written again as "%25".
  const UrlReference references(base);
  const size_t baseLocal = mostLocalBytesOfBase(references);
  const size_t ownHost = mostLocalBytesOfOwnHost();
  size_t most = 0;
  bool passed = false;
  auto add = [&](size_t bytes) { passed = passed || __builtin_add_overflow(most, bytes, &most); };
  auto count = [&](std::string_view uri) {
    // A URI is within the playlist, so its own bytes' count cannot overflow.
    size_t bytes = (namesItsOwnHost(uri) ? ownHost : baseLocal) + kMostBytesPerUriBeyond;
    // Each byte takes two where nothing escapes it, ten where something may.
    const size_t kept = bytesNothingEscapes(uri);
    bytes += kLeastBytesPerUriByte * kept + kMostBytesPerUriByte * (uri.size() - kept);
    add(bytes);
  };
  PlaylistLines::forEach(playlist, [&](std::string_view line) {
    if (line.empty()) return;
    if (line.front() == '#') {
      // The line is written whole, each URI in it counted again for what it becomes.
      add(line.size());
      forEachUriAttribute(line, [&](size_t, std::string_view value) {
        count(value);
        return true;
      });
      return;
    }
    count(line);
  });
  // Each line's break, and a byte-order mark, are written as they came or shorter.
  add(playlist.size());
  // Past what a size_t holds it is past every bound anyway.
  return passed ? std::numeric_limits<size_t>::max() : most;
}

size_t PlaylistRewriter::mostLocalBytesOfBase(const UrlReference& references) {
  size_t baseLocal = 0;
  if (const auto self = references.resolution("")) {
    baseLocal = LocalUrlLength(references).of(self.value()).localBytes;
    const std::string& path = references.baseRecord()->path;
    baseLocal += 2 * static_cast<size_t>(std::count(path.begin(), path.end(), '%'));
  }
  return baseLocal;
}

size_t PlaylistRewriter::mostLocalBytesOfOwnHost() {
  return std::string_view("http://127.0.0.1:65535?").size() +
         ReverseProxyURL::kOriginURLKey.size() + 1 + kMostBytesOfOwnHostBeyond;
}

size_t PlaylistRewriter::workingBytes(const Url& base) {
  // The base read once holds about three times its length, its path measured at each "/" up to
  // 36 bytes a byte; a URI's own URL and local URL, built one at a time, stay within what our
  // server serves.
  constexpr size_t kPerBaseByte = 40;
  return RewrittenText::kBlockBytes + kPerBaseByte * base.toString().size() +
         4 * ReverseProxyURL::kMaxLocalURLBytesServed;
}

void PlaylistRewriter::logTooLarge(size_t playlistBytes) {
  OmbreliaLogger::error("Playlist of " + std::to_string(playlistBytes) +
                            " bytes not served: rewritten, it would pass " +
                            std::to_string(kMaxRewrittenBytes) +
                            " bytes, the most a playlist answer may take",
                        OLogModule::proxy);
}

std::optional<std::vector<std::string>> PlaylistRewriter::rewriteInPieces(
    std::string_view playlist, const Url& base, const platform::CancellationToken* cancellation,
    std::optional<size_t> length, std::optional<size_t> most) const {
  const Base against(base, port_);
  // Room for the whole text at once when it is small, else a piece at a time.
  size_t expected = RewrittenText::kBlockBytes;
  if (!length) {
    if (!most) most = mostRewrittenBytes(playlist, base);
    expected = std::min(*most, expected);
    // It may pass the bound: measured first, it is refused before anything of it is built,
    // and built otherwise into room made once.
    if (*most > kMaxRewrittenBytes) {
      length = measure(playlist, against, kMaxRewrittenBytes, cancellation);
      if (!length) return std::nullopt;
    }
  }
  if (length) {
    if (*length > kMaxRewrittenBytes) {
      logTooLarge(playlist.size());
      return std::nullopt;
    }
    expected = *length;
  }
  RewrittenText out(kMaxRewrittenBytes, expected);
  if (!build(playlist, against, out, cancellation)) {
    const size_t built = out.size();
    { const RewrittenText dropped = std::move(out); }
    platform::FreedMemory::giveBack(built);
    return std::nullopt;
  }
  if (against.urisNotLogged > 0) {
    OmbreliaLogger::info(
        "Playlist URIs left out, left as written or without a local URL, not logged one by "
        "one: " +
            std::to_string(against.urisNotLogged),
        OLogModule::proxy);
  }
  return std::move(out).takePieces();
}

std::optional<std::string> PlaylistRewriter::rewrite(
    std::string_view playlist, const Url& base,
    const platform::CancellationToken* cancellation) const {
  auto pieces = rewriteInPieces(playlist, base, cancellation);
  if (!pieces) return std::nullopt;
  if (pieces->size() == 1) return std::move(pieces->front());
  size_t size = 0;
  for (const std::string& piece : *pieces) size += piece.size();
  std::string whole;
  whole.reserve(size);
  for (std::string& piece : *pieces) {
    whole.append(piece);
    std::string().swap(piece);
  }
  // Joined, the pieces it was built in are gone.
  platform::FreedMemory::giveBack(whole.size());
  return whole;
}

std::optional<size_t> PlaylistRewriter::rewrittenLength(
    std::string_view playlist, const Url& base, size_t stopPast,
    const platform::CancellationToken* cancellation) const {
  return measure(playlist, Base(base, port_), stopPast, cancellation);
}

bool PlaylistRewriter::build(std::string_view playlist, const Base& base, RewrittenText& out,
                             const platform::CancellationToken* cancellation) const {
  // A byte-order mark stays where it is, and the header after it is read as the tag it is.
  const std::string_view text = Utf8::withoutByteOrderMark(playlist);
  out.append(playlist.substr(0, playlist.size() - text.size()));
  const bool whole = walkLines(text, cancellation, [&](std::string_view line, bool first) {
    if (!first) out.push_back('\n');
    processLine(line, base, out);
    return !out.passed();
  });
  if (!whole) return false;
  if (out.passed()) logTooLarge(playlist.size());
  return !out.passed();
}

std::optional<size_t> PlaylistRewriter::measure(
    std::string_view playlist, const Base& base, size_t stopPast,
    const platform::CancellationToken* cancellation) const {
  const std::string_view text = Utf8::withoutByteOrderMark(playlist);
  size_t length = playlist.size() - text.size();
  const bool whole = walkLines(text, cancellation, [&](std::string_view line, bool first) {
    length += (first ? 0 : 1) + lineLength(line, base);
    return length <= stopPast;
  });
  if (!whole) return std::nullopt;
  return length;
}

template <typename Step>
bool PlaylistRewriter::walkLines(std::string_view text,
                                 const platform::CancellationToken* cancellation, Step&& step) {
  bool first = true;
  size_t sinceCheck = 0;
  bool cancelled = false;
  PlaylistLines::forEach(text, [&](std::string_view line) {
    if (cancellation && ++sinceCheck == kLinesPerCancellationCheck) {
      sinceCheck = 0;
      cancelled = cancellation->isCancelled();
      if (cancelled) return false;
    }
    const bool goOn = step(line, first);
    first = false;
    return goOn;
  });
  return !cancelled;
}

bool PlaylistRewriter::mayLogUri(const Base& base) {
  if (base.urisLogged < kMaxLoggedUris) {
    ++base.urisLogged;
    return true;
  }
  ++base.urisNotLogged;
  return false;
}

std::string PlaylistRewriter::processLine(std::string_view line, const Url& base) const {
  RewrittenText out(std::numeric_limits<size_t>::max(), line.size());
  processLine(line, Base(base, port_), out);
  return std::move(out).take();
}

void PlaylistRewriter::processLine(std::string_view line, const Base& base,
                                   RewrittenText& out) const {
  if (line.empty()) return;
  if (line.front() == '#') return lineByReplacingURIs(line, base, out);
  if (static_cast<unsigned char>(line.front()) <= ' ') {
    // Blank, or a tag moved off the start of its line: no URI, and nothing to report.
    const std::string_view trimmed = UrlReference::trimmed(line);
    if (trimmed.empty() || trimmed.front() == '#') return out.append(line);
  }
  const auto proxied = proxiedReference(line, base);
  out.append(proxied ? std::string_view(*proxied) : line);
}

void PlaylistRewriter::lineByReplacingURIs(std::string_view line, const Base& base,
                                           RewrittenText& out) const {
  size_t copied = 0;
  // Each attribute is resolved on its own: a tag may carry several URI attributes. A line of
  // many stops as soon as the text passes its bound.
  forEachUriAttribute(line, [&](size_t valueStart, std::string_view value) {
    if (auto proxied = proxiedReference(value, base)) {
      out.append(line.substr(copied, valueStart - copied));
      out.append(*proxied);
      copied = valueStart + value.size();
    }
    return !out.passed();
  });
  out.append(line.substr(copied));
}

size_t PlaylistRewriter::lineLength(std::string_view line, const Base& base) const {
  // As processLine() writes the line: what each URI becomes in place of its own text.
  auto uriLength = [&](std::string_view reference) {
    const Reading reading = read(reference, base, true);
    switch (reading.kind) {
      case Reading::Kind::asWritten:
        return reference.size();
      case Reading::Kind::leftOut:
        return size_t{0};
      case Reading::Kind::local:
        break;
    }
    return reading.figures.localBytes + reading.figures.localFragmentBytes - base.slack;
  };
  if (line.empty()) return 0;
  if (line.front() == '#') {
    size_t length = line.size();
    forEachUriAttribute(line, [&](size_t, std::string_view value) {
      length = length - value.size() + uriLength(value);
      return true;
    });
    return length;
  }
  if (static_cast<unsigned char>(line.front()) <= ' ') {
    const std::string_view trimmed = UrlReference::trimmed(line);
    if (trimmed.empty() || trimmed.front() == '#') return line.size();
  }
  return uriLength(line);
}

PlaylistRewriter::Reading PlaylistRewriter::read(std::string_view reference, const Base& base,
                                                 bool measured) const {
  Reading reading;
  // Read without building its URL: that is built only for a local URL that will be written.
  auto resolved = base.references.resolution(reference);
  if (!resolved) {
    reading.refusal = resolved.error();
    // Keys (skd:), inline data (data:) and the like are not fetched by us. Anything else
    // unread may hold a user name and password that cannot be told from the rest.
    if (resolved.error() != UrlReference::Refusal::notHttp &&
        reference.find('@') != std::string_view::npos) {
      reading.kind = Reading::Kind::leftOut;
    }
    return reading;
  }
  // What libcurl would read as a user name and password, browsers may read as a host and port
  // ("//u:1234\@host/"), which the local URL would then show the player. Both read one only
  // from before an "@": without one, the URI's origin need not be built.
  if (reference.find('@') != std::string_view::npos &&
      !platform::CurlUrlReading::readsNoOtherCredentials(
          reference, resolved->origin(), base.curlBase ? &*base.curlBase : nullptr)) {
    reading.kind = Reading::Kind::leftOut;
    return reading;
  }
  if (!measured && base.surelyServed(reference)) {
    reading.kind = Reading::Kind::local;
    reading.resolved = std::move(resolved.value());
    return reading;
  }
  reading.figures = base.localLength.of(resolved.value());
  if (reading.figures.localBytes <= ReverseProxyURL::kMaxLocalURLBytesServed) {
    reading.kind = Reading::Kind::local;
  } else {
    // A local URL the server would answer with 414 is none to hand out.
    reading.tooLong = true;
    if (resolved->origin().userInfo()) reading.kind = Reading::Kind::leftOut;
  }
  reading.resolved = std::move(resolved.value());
  return reading;
}

std::optional<std::string> PlaylistRewriter::proxiedReference(std::string_view reference,
                                                              const Base& base) const {
  Reading reading = read(reference, base);
  if (reading.kind == Reading::Kind::local) {
    Url url = reading.resolved->url();
    if (credentials_ && url.userInfo()) {
      std::optional<std::string> notKept;
      url = credentials_->keep(url, OriginCredentials::Source::found, &notKept);
      if (notKept && mayLogUri(base)) OmbreliaLogger::error(*notKept, OLogModule::proxy);
    }
    if (auto local = ReverseProxyURL::make(url, port_)) return local->toString();
    reading.tooLong = true;
    if (reading.figures.localBytes == 0) reading.figures = base.localLength.of(*reading.resolved);
    if (reading.resolved->origin().userInfo()) reading.kind = Reading::Kind::leftOut;
  }
  if (reading.tooLong && reading.kind != Reading::Kind::leftOut && mayLogUri(base)) {
    const Url origin = reading.resolved->origin();
    OmbreliaLogger::error(
        ReverseProxyURL::tooLongLine(reading.figures.originBytes,
                                     origin.scheme() + "://" + origin.host().value_or(""),
                                     reading.figures.localBytes),
        OLogModule::proxy);
  }
  // A URI that cannot be proxied is left as written, for the player to fetch by itself; unless
  // it holds a user name and password, which no player may see: then it is left out, and its
  // text stays out of the log too.
  if (reading.kind == Reading::Kind::leftOut) {
    if (mayLogUri(base)) {
      OmbreliaLogger::error(
          "Playlist URI left out: it cannot be proxied, and it holds or may hold "
          "a user name and password",
          OLogModule::proxy);
    }
    return std::string();
  }
  // A URI no browser reads, the player cannot fetch either; one whose host needs IDNA it fetches
  // by itself, past the proxy. Either way, say which line it was (one too long to proxy is
  // logged above).
  if (reading.refusal && *reading.refusal != UrlReference::Refusal::notHttp &&
      OmbreliaLogger::isEnabled(OLogLevel::info, OLogModule::proxy) && mayLogUri(base)) {
    OmbreliaLogger::info(std::string(*reading.refusal == UrlReference::Refusal::needsIdna
                                         ? "Playlist URI left as written, its host needs IDNA: "
                                         : "Playlist URI left as written, not a URL: ") +
                             std::string(reference),
                         OLogModule::proxy);
  }
  return std::nullopt;
}

}  // namespace ombrelia
