// Generated origin URLs with a user name and password and everything else browsers take in a
// URL, each taken the whole way: to its local URL (given by the application, or written in a
// playlist), to the request target a browser sends for that, through our server's reading of
// it, back to the request the proxy sends to the origin.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/url/UriCharacters.hpp"
#include "platform/url/UrlReference.hpp"
#include "proxy/OriginCredentials.hpp"
#include "proxy/PlaylistRewriter.hpp"
#include "proxy/ReverseProxyURL.hpp"
#include "support/WhatwgUrlOracle.hpp"
#include "webserver/core/WebServerFunctions.hpp"

namespace ombrelia {
namespace {

constexpr int kPort = 8080;
constexpr size_t kCases = 4000;
// Written raw at the start of every user name and password, and nowhere else in a URL: any
// trace of them in what a player sees is a leak.
constexpr std::string_view kUserMarker = "USERQ";
constexpr std::string_view kPasswordMarker = "PASSQ";

// A piece of a user name or password: as written in the URL, and as a browser sends it.
struct Piece {
  std::string written;
  std::string sent;
};

// clang-format off
const std::vector<Piece> kCredentialPieces = {
    {"a", "a"}, {"Z", "Z"}, {"7", "7"}, {"%40", "@"}, {"@", "@"}, {"%3A", ":"}, {"%3a", ":"},
    {"%25", "%"}, {"%z", "%z"}, {"%%z", "%%z"}, {"!", "!"}, {"$", "$"}, {"&", "&"}, {"'", "'"},
    {"(", "("}, {")", ")"}, {"*", "*"}, {"+", "+"}, {",", ","}, {";", ";"}, {"=", "="},
    {"~", "~"}, {"-", "-"}, {"_", "_"}, {".", "."}, {"{", "{"}, {"}", "}"}, {"`", "`"},
    {"|", "|"}, {"^", "^"}, {"\"", "\""}, {"[", "["}, {"]", "]"}, {"<", "<"}, {">", ">"},
    {"%2F", "/"}, {"%3F", "?"}, {"%23", "#"}, {"%5C", "\\"}, {"%20", " "}, {" ", " "},
    {"\t", ""}, {"\xC3\xA9", "\xC3\xA9"}, {"%C3%A9", "\xC3\xA9"}, {"%c3%a9", "\xC3\xA9"}};
// Only in a password: in a user name a raw ":" starts the password.
const Piece kColon = {":", ":"};
// Only last: a "%" that a following piece could turn into an escape.
const std::vector<Piece> kCredentialEnds = {{"", ""}, {"%", "%"}, {"%4", "%4"}, {"%2", "%2"}};
const std::vector<std::string> kHosts = {
    "127.0.0.1", "origin.example", "ORIGIN.Example", "[::1]", "[0:0::1]", "0x7f.1",
    "origin.example.", "%6Frigin.example", "a{b}.example", "a`b.example", "a\"b.example",
    "x{}`\".example", "a!b$c.example", "a'b(c)d*e.example", "a+b,c;d=e&f.example", "a_b-c.example"};
const std::vector<std::string> kPorts = {"", "", ":8080", ":80", ":443", ":00080", ":65535"};
const std::vector<std::string> kPathPieces = {
    "c", "/", "seg.ts", "media.m3u8", "{", "}", "`", "|", "^", "%", "%z", "%41", "\\", "\xC3\xA9",
    "%C3%A9", " ", ".", "..", "%2e", "'", "\"", "<", ">", "[", "]", "@", ":", ";", "=", "&",
    "+", "!", "$", "~", "%E9"};
const std::vector<std::string> kQueryPieces = {
    "t=%", "v={1}", "|", "`", "\\", "a=1", "&", "=", "+", "'", "\"", "%20", "@", ":", "/", "?",
    "%", "%zz", "{}", "\xC3\xA9", "%2B", "%26", "^", "<>", " ", "__hls_origin_url=x"};
const std::vector<std::string> kFragmentPieces = {
    "\\", "{", "}", "`", "#", "%", "x", "\xC3\xA9", " ", "?", "@"};
// clang-format on

struct Generated {
  std::string url;
  std::string user;  // as a browser sends them
  std::optional<std::string> password;
};

class Generator {
 public:
  Generated next() {
    Generated out;
    out.url = pick<std::string>({"http://", "https://", "HTTP://", "hTTps://"});
    const int form = below(4);  // user and password, user alone, password alone, ":" and both
    std::string userInfo;
    if (form != 2) userInfo += credential(kUserMarker, out.user, false);
    if (form != 1) {
      out.password.emplace();
      userInfo += ":" + credential(kPasswordMarker, *out.password, true);
    }
    out.url += userInfo + "@" + pick(kHosts) + pick(kPorts);
    out.url += "/" + run(kPathPieces, 6);
    if (below(3) != 0) out.url += "?" + run(kQueryPieces, 6);
    if (below(4) == 0) out.url += "#" + run(kFragmentPieces, 3);
    return out;
  }

 private:
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[static_cast<size_t>(below(static_cast<int>(from.size())))];
  }
  std::string run(const std::vector<std::string>& pieces, int most) {
    std::string out;
    for (int n = below(most + 1); n > 0; --n) out += pick(pieces);
    return out;
  }
  std::string credential(std::string_view marker, std::string& sent, bool password) {
    std::string written(marker);
    sent = marker;
    for (int n = below(7); n > 0; --n) {
      const Piece& piece = password && below(8) == 0 ? kColon : pick(kCredentialPieces);
      written += piece.written;
      sent += piece.sent;
    }
    const Piece& end = pick(kCredentialEnds);
    written += end.written;
    sent += end.sent;
    return written;
  }

  std::mt19937 random_{20260101};
};

// Whether the marker shows in `text`, as it is or decoded once or twice.
bool shows(std::string_view marker, const std::string& text) {
  std::string decoded = text;
  for (int round = 0; round < 3; ++round) {
    if (decoded.find(marker) != std::string::npos) return true;
    decoded = UriCharacters::percentDecoded(decoded);
  }
  return false;
}

// What libcurl makes of a request's URL: the origin it connects to and the credentials it sends,
// or absent when it refuses the URL (and so sends nothing).
struct CurlReading {
  std::string host;
  std::string port;
  std::string user;
  std::optional<std::string> password;
};

std::optional<CurlReading> readByCurl(const std::string& url) {
  CURLU* handle = curl_url();
  const auto part = [handle](CURLUPart which, unsigned int flags) -> std::optional<std::string> {
    char* text = nullptr;
    if (curl_url_get(handle, which, &text, flags) != CURLUE_OK || text == nullptr) return {};
    std::string value(text);
    curl_free(text);
    return value;
  };
  std::optional<CurlReading> reading;
  if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    reading = CurlReading{part(CURLUPART_HOST, 0).value_or(""),
                          part(CURLUPART_PORT, CURLU_DEFAULT_PORT).value_or(""),
                          part(CURLUPART_USER, CURLU_URLDECODE).value_or(""),
                          part(CURLUPART_PASSWORD, CURLU_URLDECODE)};
  }
  curl_url_cleanup(handle);
  return reading;
}

int effectivePort(const Url& url) {
  return url.port().value_or(url.scheme() == "https" ? 443 : 80);
}

// One origin URL's way there and back, with what went wrong on it.
struct Trip {
  Generated origin;
  Url read;                  // the origin URL as a browser reads it, with its credentials
  std::string local;         // given by the application
  std::string fromPlaylist;  // the same URL written in a playlist
};

// A host libcurl refuses to connect to (it takes none of these in a name): the request is
// refused whole, so it never leaves without its credentials.
bool curlRefusesHost(const std::string& host) {
  return host.find_first_of("{}`\"!$'()*+,;=&") != std::string::npos;
}

TEST(CredentialedUrlShapes, NoPlayerSeesTheCredentialsAndEveryRequestToTheirOriginCarriesThem) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const Url playlistBase = UrlReference::read("http://playlists.example/p/index.m3u8").value();
  Generator generator;
  std::vector<Trip> trips;
  std::vector<test::WhatwgUrlOracle::Case> asked;
  size_t failures = 0;
  std::string shown;  // the first failures
  const auto fail = [&](const std::string& origin, const std::string& what) {
    if (++failures <= 30) shown += what + "\n    origin URL: " + origin + "\n";
  };
  for (size_t i = 0; i < kCases; ++i) {
    Generated origin = generator.next();
    auto read = UrlReference::read(origin.url);
    if (!read) {
      fail(origin.url, "browsers read it, we do not");
      continue;
    }
    // A store of its own for each, so that no other case's credentials answer for it.
    OriginCredentials given;
    OriginCredentials found;
    const auto local = ReverseProxyURL::make(
        given.keep(read.value(), OriginCredentials::Source::application), kPort);
    const std::string line = PlaylistRewriter(kPort, &found).processLine(origin.url, playlistBase);
    if (!local) {
      fail(origin.url, "no local URL");
      continue;
    }
    Trip trip{std::move(origin), read.value(), local->toString(), line};
    if (trip.fromPlaylist != trip.local) {
      fail(trip.origin.url, "the playlist's local URL " + trip.fromPlaylist +
                                " differs from the application's " + trip.local);
    }
    asked.push_back({"http://unused.example/", trip.local});
    trips.push_back(std::move(trip));
  }

  const auto hrefs = test::WhatwgUrlOracle::resolve(asked);
  ASSERT_EQ(hrefs.size(), trips.size());
  const std::string localOrigin = "http://127.0.0.1:" + std::to_string(kPort);
  size_t sentByCurl = 0;
  for (size_t i = 0; i < trips.size(); ++i) {
    const Trip& trip = trips[i];
    const std::string& url = trip.origin.url;
    // Nothing a player reads holds them: not the local URL, nor where a browser goes with it.
    if (shows(kUserMarker, trip.local) || shows(kPasswordMarker, trip.local)) {
      fail(url, "credentials in the local URL " + trip.local);
    }
    if (!hrefs[i] || !hrefs[i]->starts_with(localOrigin + "/")) {
      fail(url, "a browser reads " + trip.local + " as " + hrefs[i].value_or("(refused)"));
      continue;
    }
    // The request target a browser sends, read back as our server reads it.
    std::string target = hrefs[i]->substr(localOrigin.size());
    target = target.substr(0, target.find('#'));
    const auto parsedTarget = Url::parse(target);
    if (!parsedTarget || !parsedTarget->query() ||
        !WebServerUnescapeURLString(parsedTarget->path())) {
      fail(url, "our server refuses the request target " + target);
      continue;
    }
    const auto query = WebServerParseURLEncodedForm(*parsedTarget->query());
    const auto item = query.find(ReverseProxyURL::kOriginURLKey);
    const auto back = item == query.end() ? std::nullopt : ReverseProxyURL::originURL(item->second);
    const Url expected = OriginCredentials::withoutUserInfo(trip.read);
    if (!back || back->toString() != expected.toString()) {
      fail(url, "the request target " + target + " names " +
                    (back ? back->toString() : "(nothing)") + ", not " + expected.toString());
      continue;
    }

    // The request to the origin, as the loader makes it, and as libcurl reads it.
    OriginCredentials given;
    given.keep(trip.read, OriginCredentials::Source::application);
    const std::string request = given.applied(*back).toString();
    const auto curl = readByCurl(request);
    if (!curl) {
      if (!curlRefusesHost(*expected.host())) fail(url, "libcurl refuses the request " + request);
      continue;
    }
    ++sentByCurl;
    const std::string host = expected.host()->find(':') != std::string::npos
                                 ? "[" + *expected.host() + "]"
                                 : *expected.host();
    if (curl->host != host || curl->port != std::to_string(effectivePort(expected))) {
      fail(url, "the request " + request + " goes to " + curl->host + ":" + curl->port);
    }
    if (curl->user != trip.origin.user ||
        curl->password.value_or("") != trip.origin.password.value_or("")) {
      fail(url, "the request " + request + " sends user \"" + curl->user + "\" password \"" +
                    curl->password.value_or("(none)") + "\"");
    }
    // Never to another origin: another port of the same host, or another host.
    Url elsewhere = *back;
    elsewhere.setPort(effectivePort(expected) == 1 ? 2 : 1);
    if (given.applied(elsewhere).userInfo()) fail(url, "sent to another port");
    elsewhere.setHost(std::string("other.example"));
    if (given.applied(elsewhere).userInfo()) fail(url, "sent to another host");
  }

  EXPECT_EQ(failures, 0u) << "over " << kCases << " origin URLs, the first ones:\n" << shown;
  // Most requests reach libcurl whole; only hosts it refuses do not.
  EXPECT_GT(sentByCurl, kCases / 2);
}

}  // namespace
}  // namespace ombrelia
