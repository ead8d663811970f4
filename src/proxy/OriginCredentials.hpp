#pragma once
// Any thread: guarded by its own mutex.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <ombrelia/Url.hpp>

namespace ombrelia {

// The user names and passwords written into origin URLs, kept in memory for the origin (scheme,
// host, port) they were given for, so that no URL the player sees carries them: browsers' fetch()
// refuses such URLs, and players log every URL they open. Only the requests the proxy sends
// carry them again, in their URL, and only to that origin: libcurl sends Basic credentials from
// the URL and drops them on a redirect to another host.
class OriginCredentials {
 public:
  // Who wrote the credentials. The application's replace any kept for the same origin; those
  // the origin's answers carry (a playlist URI, a redirect) never replace any.
  enum class Source { application, found };

  // An application plays a handful of origins; the bound is for playlists naming many hosts
  // with credentials, every one of which would otherwise live as long as the proxy.
  static constexpr size_t kMaxOrigins = 64;

  // Keeps the URL's credentials, if it has any, and gives the URL without them. Credentials that
  // cannot be kept (the bound below) are logged, or, with `notKept`, the line is left there for
  // the caller to write within its own cap.
  Url keep(const Url& url, Source source, std::optional<std::string>* notKept = nullptr);
  // The URL with the credentials kept for its origin; the URL itself when none are kept or it
  // carries its own.
  Url applied(const Url& url) const;

  // The URL without user name and password.
  static Url withoutUserInfo(const Url& url);

 private:
  struct Entry {
    std::string userInfo;  // percent-encoded, ready for a URL
    Source source;
    uint64_t order;  // insertion order: the oldest is the first to go
  };

  // Makes room for one more origin; false when only application entries are left and `source`
  // may not push one of them out.
  bool makeRoom(Source source);

  mutable std::mutex mutex_;  // guards entries_ and nextOrder_
  std::unordered_map<std::string, Entry> entries_;
  uint64_t nextOrder_ = 0;
  // Lets every request of an origin without credentials skip the lock.
  std::atomic<bool> empty_{true};
};

}  // namespace ombrelia
