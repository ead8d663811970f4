#include "proxy/OriginCredentials.hpp"

#include <algorithm>
#include <cctype>

#include <ombrelia/OmbreliaLogger.hpp>

#include "platform/url/UriCharacters.hpp"

namespace ombrelia {
namespace {

// Sub-delimiters stay as written in a user name; a password may also hold ":".
constexpr std::string_view kUserKeeps = "!$&'()*+,;=";
constexpr std::string_view kPasswordKeeps = "!$&'()*+,;=:";

int effectivePort(const Url& url) {
  if (url.port()) return *url.port();
  return url.scheme() == "https" ? 443 : 80;
}

// Scheme, host and port: the credentials of one origin are never sent to another.
std::string credentialOriginOf(const Url& url) {
  std::string host = url.host().value_or("");
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return url.scheme() + "://" + host + ":" + std::to_string(effectivePort(url));
}

std::string encodedPart(std::string_view written, std::string_view keeps) {
  // Decoded first so that an escape stays one escape and a raw "@" or "%" gets one: libcurl
  // decodes what it is given exactly once, and must send what a browser would.
  return Url::percentEncode(UriCharacters::percentDecoded(written), keeps);
}

// The user name and password as a URL must write them for libcurl to send them as given.
std::string canonicalUserInfo(std::string_view written) {
  const size_t colon = written.find(':');
  if (colon == std::string_view::npos) return encodedPart(written, kUserKeeps);
  return encodedPart(written.substr(0, colon), kUserKeeps) + ":" +
         encodedPart(written.substr(colon + 1), kPasswordKeeps);
}

}  // namespace

Url OriginCredentials::withoutUserInfo(const Url& url) {
  // On the parsed URL, never on its text read again: a reader stricter than the one that made
  // the URL refuses what a browser takes ("{" in a query, a "%" that starts no escape), and
  // there is no way back from that which does not either keep the credentials or lose the URL.
  if (!url.userInfo()) return url;
  Url stripped = url;
  stripped.setUserInfo(std::nullopt);
  return stripped;
}

Url OriginCredentials::keep(const Url& url, Source source, std::optional<std::string>* notKept) {
  if (!url.userInfo() || !url.hasAuthority()) return url;
  const Url stripped = withoutUserInfo(url);
  std::string userInfo = canonicalUserInfo(*url.userInfo());
  if (userInfo.empty()) return stripped;
  const std::string origin = credentialOriginOf(url);
  std::lock_guard lock(mutex_);
  auto found = entries_.find(origin);
  if (found != entries_.end()) {
    if (source == Source::application) {
      found->second = Entry{std::move(userInfo), source, nextOrder_++};
    }
    return stripped;
  }
  if (entries_.size() >= kMaxOrigins && !makeRoom(source)) {
    std::string line = "Credentials for " + origin + " not kept: credentials of " +
                       std::to_string(kMaxOrigins) + " origins are kept already";
    if (notKept != nullptr) {
      *notKept = std::move(line);
    } else {
      OmbreliaLogger::error(line, OLogModule::proxy);
    }
    return stripped;
  }
  entries_.emplace(origin, Entry{std::move(userInfo), source, nextOrder_++});
  empty_.store(false);
  return stripped;
}

bool OriginCredentials::makeRoom(Source source) {
  auto victim = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    const bool eligible = it->second.source == Source::found || source == Source::application;
    if (!eligible) continue;
    // Found ones go before the application's, the oldest first.
    if (victim == entries_.end() ||
        std::pair(it->second.source == Source::application, it->second.order) <
            std::pair(victim->second.source == Source::application, victim->second.order)) {
      victim = it;
    }
  }
  if (victim == entries_.end()) return false;
  entries_.erase(victim);
  return true;
}

Url OriginCredentials::applied(const Url& url) const {
  if (empty_.load() || url.userInfo() || !url.hasAuthority()) return url;
  std::string userInfo;
  {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(credentialOriginOf(url));
    if (found == entries_.end()) return url;
    userInfo = found->second.userInfo;
  }
  Url withCredentials = url;
  withCredentials.setUserInfo(std::move(userInfo));
  return withCredentials;
}

}  // namespace ombrelia
