#include "PacedPlayer.hpp"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <ombrelia/PeerListManager.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace ombrelia::example {
namespace {

struct Response {
  long status = 0;
  std::string body;
  std::string error;
};

size_t collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// With OMBRELIA_HOST_DIGESTS set, each segment's SHA-256 is printed ("digest <path> <hex>"), so
// tests can check that what the player got is the origin's file, byte for byte.
bool printDigests() {
  static const bool enabled = std::getenv("OMBRELIA_HOST_DIGESTS") != nullptr;
  return enabled;
}

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    return "none";
  static const char* const kHex = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xF]);
  }
  return text;
}

// The path of a URL, without scheme, host and query.
std::string pathOf(const std::string& url) {
  const auto scheme = url.find("://");
  const auto start = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  if (start == std::string::npos) return "/";
  return url.substr(start, url.find('?', start) - start);
}

Response get(const std::string& url) {
  Response response;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    response.error = "cannot create a transfer";
    return response;
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "ombrelia-host player");
  const CURLcode code = curl_easy_perform(curl);
  if (code != CURLE_OK) response.error = curl_easy_strerror(code);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_cleanup(curl);
  return response;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

}  // namespace

double PacedPlayer::getPrebufferingDuration() {
  std::lock_guard lock(mutex_);
  advance(Clock::now());
  return bufferedEnd_ - playhead_;
}

bool PacedPlayer::advance(Clock::time_point now) {
  if (!playing_) return false;
  const double elapsed = std::chrono::duration<double>(now - lastTick_).count();
  lastTick_ = now;
  playhead_ += elapsed * settings_.speed;
  if (playhead_ < bufferedEnd_) return false;
  playhead_ = bufferedEnd_;
  playing_ = false;
  return true;
}

std::optional<std::vector<PacedPlayer::Segment>> PacedPlayer::loadSegments(const std::string& url,
                                                                           Summary& summary) {
  auto playlist = get(url);
  if (playlist.status != 200) {
    summary.error =
        "playlist " + url + ": " +
        (playlist.error.empty() ? "status " + std::to_string(playlist.status) : playlist.error);
    return std::nullopt;
  }
  summary.bytes += static_cast<int64_t>(playlist.body.size());
  auto text = lines(playlist.body);
  // A master playlist: follow its first variant (the proxy pinned one unless asked otherwise).
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i].rfind("#EXT-X-STREAM-INF", 0) == 0) {
      for (size_t j = i + 1; j < text.size(); ++j) {
        if (!text[j].empty() && text[j][0] != '#') return loadSegments(text[j], summary);
      }
    }
  }
  std::vector<Segment> segments;
  double duration = 0;
  for (const auto& line : text) {
    if (line.rfind("#EXTINF:", 0) == 0) {
      duration = std::atof(line.c_str() + 8);
    } else if (!line.empty() && line[0] != '#') {
      segments.push_back({line, duration});
    }
  }
  return segments;
}

PacedPlayer::Summary PacedPlayer::play(const std::string& localURL) {
  Summary summary;
  const auto segments = loadSegments(localURL, summary);
  if (!segments) return summary;
  const auto started = Clock::now();
  auto outOfTime = [&] {
    return settings_.seconds > 0 &&
           std::chrono::duration<double>(Clock::now() - started).count() >= settings_.seconds;
  };
  std::optional<Clock::time_point> stallStart;
  for (const auto& segment : *segments) {
    if (outOfTime()) break;
    // Like a player, stop downloading while the buffer is full.
    for (;;) {
      double ahead = 0;
      {
        std::lock_guard lock(mutex_);
        advance(Clock::now());
        ahead = bufferedEnd_ - playhead_;
      }
      if (ahead <= kMaxBufferSeconds || outOfTime()) break;
      std::this_thread::sleep_for(
          std::chrono::duration<double>((ahead - kMaxBufferSeconds) / settings_.speed));
    }
    const auto response = get(segment.url);
    if (response.status != 200) {
      summary.error =
          "segment " + segment.url + ": " +
          (response.error.empty() ? "status " + std::to_string(response.status) : response.error);
      return summary;
    }
    summary.bytes += static_cast<int64_t>(response.body.size());
    ++summary.segments;
    if (printDigests()) {
      std::printf("digest %s %s\n", pathOf(segment.url).c_str(), sha256Hex(response.body).c_str());
      std::fflush(stdout);
    }
    summary.peersConnected =
        std::max(summary.peersConnected, PeerListManager::shared().connectedPeerCount());
    const auto now = Clock::now();
    {
      std::lock_guard lock(mutex_);
      if (advance(now)) {
        ++summary.stalls;
        // The play position ran out of media at some moment during the download.
        stallStart = now;
      }
      bufferedEnd_ += segment.duration;
      if (!playing_ && (bufferedEnd_ - playhead_ >= kStartBufferSeconds ||
                        summary.segments == static_cast<int>(segments->size()))) {
        if (stallStart) {
          summary.stalledSeconds += std::chrono::duration<double>(now - *stallStart).count();
          stallStart.reset();
        }
        playing_ = true;
        lastTick_ = now;
      }
    }
    if (!settings_.quiet) {
      std::fprintf(stderr, "segment %d/%zu  %7lld bytes  buffer %5.1f s  stalls %d\n",
                   summary.segments, segments->size(), static_cast<long long>(response.body.size()),
                   getPrebufferingDuration(), summary.stalls);
    }
  }
  // Play out what is buffered.
  for (;;) {
    double ahead = 0;
    {
      std::lock_guard lock(mutex_);
      advance(Clock::now());
      ahead = bufferedEnd_ - playhead_;
    }
    if (ahead <= 0 || outOfTime()) break;
    std::this_thread::sleep_for(
        std::chrono::duration<double>(std::min(ahead, 0.5) / settings_.speed));
  }
  {
    std::lock_guard lock(mutex_);
    advance(Clock::now());
    summary.playedSeconds = playhead_;
  }
  summary.ok = true;
  return summary;
}

}  // namespace ombrelia::example
