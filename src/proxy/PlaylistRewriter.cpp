#include "proxy/PlaylistRewriter.hpp"

#include <limits>

#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/CurlUrlReading.hpp"
#include "platform/FreedMemory.hpp"
#include "platform/LineSplitter.hpp"
#include "platform/url/UrlReference.hpp"
#include "platform/url/Utf8.hpp"
#include "proxy/LocalUrlLength.hpp"
#include "proxy/OriginCredentials.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "proxy/RewrittenText.hpp"

namespace ombrelia {

struct PlaylistRewriter::Base {
  explicit Base(const Url& url) : references(url), localLength(references) {
    if (auto origin = references.baseOrigin()) curlBase = origin->toString();
  }

  UrlReference references;
  LocalUrlLength localLength;
  // What libcurl reads a reference against: the playlist's URL without its path and query.
  // Where a reference names no origin of its own it keeps the base's, and libcurl finds the
  // same origin, user name and password in it as in the whole URL; reading the whole URL again
  // for each reference would cost its length each time.
  std::optional<std::string> curlBase;
  // Lines this playlist wrote about its URIs, and those past the bound that it did not write.
  mutable size_t urisLogged = 0;
  mutable size_t urisNotLogged = 0;
};

std::optional<std::string> PlaylistRewriter::rewrite(
    std::string_view playlist, const Url& base,
    const platform::CancellationToken* cancellation) const {
  const Base against(base);
  // A playlist of absolute URIs comes back about three times its size: room for that at once.
  RewrittenText out(kMaxRewrittenBytes, 3 * playlist.size());
  // A byte-order mark stays where it is, and the header after it is read as the tag it is.
  const std::string_view text = Utf8::withoutByteOrderMark(playlist);
  out.append(playlist.substr(0, playlist.size() - text.size()));
  bool first = true;
  size_t sinceCheck = 0;
  for (std::string_view line : LineSplitter::split(text)) {
    if (cancellation && ++sinceCheck == kLinesPerCancellationCheck) {
      sinceCheck = 0;
      if (cancellation->isCancelled()) return std::nullopt;
    }
    if (!first) out.push_back('\n');
    first = false;
    processLine(line, against, out);
    if (out.passed()) {
      OmbreliaLogger::error("Playlist of " + std::to_string(playlist.size()) +
                                " bytes not served: rewritten, it would pass " +
                                std::to_string(kMaxRewrittenBytes) +
                                " bytes, the most a playlist answer may take",
                            OLogModule::proxy);
      const size_t built = out.size();
      { const RewrittenText dropped = std::move(out); }
      platform::FreedMemory::giveBack(built);
      return std::nullopt;
    }
  }
  if (against.urisNotLogged > 0) {
    OmbreliaLogger::info(
        "Playlist URIs left out, left as written or without a local URL, not logged one by "
        "one: " +
            std::to_string(against.urisNotLogged),
        OLogModule::proxy);
  }
  std::string whole = std::move(out).take();
  // Joined, the blocks it was built in are gone.
  platform::FreedMemory::giveBack(whole.size());
  return whole;
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
  processLine(line, Base(base), out);
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
  static constexpr std::string_view kAttribute = "URI=\"";
  size_t copied = 0;
  size_t search = 0;
  // Each attribute is resolved on its own: a tag may carry several URI attributes. A line of
  // many stops as soon as the text passes its bound.
  while (search < line.size() && !out.passed()) {
    const size_t at = line.find(kAttribute, search);
    if (at == std::string_view::npos) break;
    const size_t valueStart = at + kAttribute.size();
    const size_t valueEnd = line.find('"', valueStart);
    if (valueEnd == std::string_view::npos) break;
    if (auto proxied = proxiedReference(line.substr(valueStart, valueEnd - valueStart), base)) {
      out.append(line.substr(copied, valueStart - copied));
      out.append(*proxied);
      copied = valueEnd;
    }
    search = valueEnd + 1;
  }
  out.append(line.substr(copied));
}

std::optional<std::string> PlaylistRewriter::proxiedReference(std::string_view reference,
                                                              const Base& base) const {
  // Read without building its URL: that is built only for a local URL that will be written.
  auto resolved = base.references.resolution(reference);
  // Keys (skd:), inline data (data:) and the like are not fetched by us.
  if (!resolved && resolved.error() == UrlReference::Refusal::notHttp) return std::nullopt;
  bool mayHoldCredentials = false;
  if (resolved) {
    const Url origin = resolved->origin();
    mayHoldCredentials = origin.userInfo().has_value();
    // What libcurl would read as a user name and password, browsers may read as a host and port
    // ("//u:1234\@host/"), which the local URL would then show the player.
    if (platform::CurlUrlReading::readsNoOtherCredentials(
            reference, origin, base.curlBase ? &*base.curlBase : nullptr)) {
      const LocalUrlLength::Figures figures = base.localLength.of(resolved.value());
      if (figures.localBytes <= ReverseProxyURL::kMaxLocalURLBytesServed) {
        Url url = resolved->url();
        if (credentials_ && url.userInfo()) {
          std::optional<std::string> notKept;
          url = credentials_->keep(url, OriginCredentials::Source::found, &notKept);
          if (notKept && mayLogUri(base)) OmbreliaLogger::error(*notKept, OLogModule::proxy);
        }
        if (auto local = ReverseProxyURL::make(url, port_)) return local->toString();
      }
      // A local URL the server would answer with 414 is none to hand out.
      if (!mayHoldCredentials && mayLogUri(base)) {
        OmbreliaLogger::error(
            ReverseProxyURL::tooLongLine(figures.originBytes,
                                         origin.scheme() + "://" + origin.host().value_or(""),
                                         figures.localBytes),
            OLogModule::proxy);
      }
    } else {
      mayHoldCredentials = true;
    }
  } else {
    // Unread, nothing in it can be told from a user name and password.
    mayHoldCredentials = reference.find('@') != std::string_view::npos;
  }
  // A URI that cannot be proxied is left as written, for the player to fetch by itself; unless
  // it holds a user name and password, which no player may see: then it is left out, and its
  // text stays out of the log too.
  if (mayHoldCredentials) {
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
  if (!resolved && OmbreliaLogger::isEnabled(OLogLevel::info, OLogModule::proxy) &&
      mayLogUri(base)) {
    OmbreliaLogger::info(std::string(resolved.error() == UrlReference::Refusal::needsIdna
                                         ? "Playlist URI left as written, its host needs IDNA: "
                                         : "Playlist URI left as written, not a URL: ") +
                             std::string(reference),
                         OLogModule::proxy);
  }
  return std::nullopt;
}

}  // namespace ombrelia
