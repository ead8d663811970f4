#include "PacedPlayer.hpp"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <ombrelia/PeerListManager.hpp>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>

#include "ShownText.hpp"

namespace ombrelia::example {
namespace {

using Clock = std::chrono::steady_clock;

struct Response {
  long status = 0;
  std::string body;
  std::string error;
};

size_t collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

int progress(void* tick, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  (*static_cast<const std::function<void()>*>(tick))();
  return 0;
}

// `tick` runs on this thread while the transfer is in progress (libcurl calls it about once a
// second, and whenever data arrives): the buffer may run dry during a slow download.
Response get(const std::string& url, const std::function<void()>& tick) {
  Response response;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    response.error = "cannot create a transfer";
    return response;
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &tick);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "ombrelia-host player");
  const CURLcode code = curl_easy_perform(curl);
  if (code != CURLE_OK) response.error = curl_easy_strerror(code);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_cleanup(curl);
  return response;
}

std::string failure(const std::string& what, const Response& response) {
  return what + ": " +
         (response.error.empty() ? "status " + std::to_string(response.status) : response.error);
}

// The path of a URL, without scheme, authority or query: the same for the proxy and the origin.
std::string pathOf(const std::string& url) {
  const auto authority = url.find("://");
  const auto path = url.find('/', authority == std::string::npos ? 0 : authority + 3);
  if (path == std::string::npos) return "/";
  return url.substr(path, url.find_first_of("?#", path) - path);
}

std::string sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

Clock::duration seconds(double value) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

double PacedPlayer::getPrebufferingDuration() { return buffered(); }

double PacedPlayer::buffered() {
  std::lock_guard lock(mutex_);
  advance(Clock::now());
  return bufferedEnd_ - playhead_;
}

void PacedPlayer::advance(Clock::time_point now) {
  if (!playing_) return;
  const double elapsed = std::chrono::duration<double>(now - lastTick_).count();
  lastTick_ = now;
  playhead_ += elapsed * speed_;
  if (playhead_ < bufferedEnd_) return;
  // The moment the play position reached the end of the buffer, not the moment we looked.
  const auto late = std::chrono::duration<double>((playhead_ - bufferedEnd_) / speed_);
  ranDryAt_ = now - std::chrono::duration_cast<Clock::duration>(late);
  playhead_ = bufferedEnd_;
  playing_ = false;
}

void PacedPlayer::update(Summary& summary, double media, bool last) {
  const auto now = Clock::now();
  std::optional<Clock::time_point> ranDry;
  bool resumed = false;
  {
    std::lock_guard lock(mutex_);
    advance(now);
    ranDry = std::exchange(ranDryAt_, std::nullopt);
    bufferedEnd_ += media;
    if (!playing_ && media > 0 && (bufferedEnd_ - playhead_ >= kStartBufferSeconds || last)) {
      playing_ = true;
      lastTick_ = now;
      resumed = true;
    }
  }
  // The analytics manager is called outside our lock: the library may be asking us for the
  // buffer from its own threads meanwhile.
  if (ranDry && !stallStart_) {
    ++summary.stalls;
    stallStart_ = ranDry;
    analytics_->handleBuffering();
  }
  if (resumed && stallStart_) {
    summary.stalledSeconds += std::chrono::duration<double>(now - *stallStart_).count();
    stallStart_.reset();
    analytics_->calculateTotalBufferingTime();
  }
}

void PacedPlayer::waitUntil(Clock::time_point deadline, Summary& summary) {
  for (;;) {
    update(summary, 0, false);
    const auto now = Clock::now();
    if (now >= deadline) return;
    auto wake = deadline;
    {
      std::lock_guard lock(mutex_);
      if (playing_) {
        const double untilDry = (bufferedEnd_ - playhead_) / speed_ + 0.005;
        wake = std::min(wake, now + seconds(untilDry));
      }
    }
    std::this_thread::sleep_until(wake);
  }
}

std::optional<PlayerPlaylist> PacedPlayer::load(const std::string& url, Summary& summary) {
  const auto response = get(url, [&] { update(summary, 0, false); });
  if (response.status != 200) {
    summary.error = failure("playlist " + shownText(url), response);
    return std::nullopt;
  }
  summary.bytes += static_cast<int64_t>(response.body.size());
  return PlayerPlaylist::parse(response.body);
}

PacedPlayer::Fetched PacedPlayer::fetch(const PlayerPlaylist::Segment& segment, bool last,
                                        Summary& summary, const std::function<bool()>& outOfTime) {
  // Like a player, stop downloading while the buffer is full.
  for (double ahead = buffered(); ahead > kMaxBufferSeconds && !outOfTime(); ahead = buffered()) {
    std::this_thread::sleep_for(
        std::chrono::duration<double>((ahead - kMaxBufferSeconds) / speed_));
  }
  const auto response = get(segment.uri, [&] { update(summary, 0, false); });
  if (response.status == 404 && summary.live) {
    // A live origin deletes segments that left its window: a player moves on.
    ++summary.missed;
    return Fetched::missed;
  }
  if (response.status != 200) {
    summary.error = failure("segment " + shownText(segment.uri), response);
    return Fetched::failed;
  }
  summary.bytes += static_cast<int64_t>(response.body.size());
  ++summary.segments;
  summary.peersConnected =
      std::max(summary.peersConnected, PeerListManager::shared().connectedPeerCount());
  if (settings_.digests) {
    std::printf("digest %s %s\n", pathOf(segment.uri).c_str(), sha256(response.body).c_str());
    std::fflush(stdout);
  }
  update(summary, segment.duration, last);
  if (!settings_.quiet) {
    std::fprintf(stderr, "segment %d (sequence %lld)  %7zu bytes  buffer %5.1f s  stalls %d\n",
                 summary.segments, static_cast<long long>(segment.sequence), response.body.size(),
                 buffered(), summary.stalls);
  }
  return Fetched::ok;
}

PacedPlayer::Summary PacedPlayer::play(const std::string& localURL) {
  Summary summary;
  auto nextReload = Clock::now();
  auto playlist = load(localURL, summary);
  if (!playlist) return summary;
  std::string mediaURL = localURL;
  if (playlist->firstVariant) {
    mediaURL = *playlist->firstVariant;
    nextReload = Clock::now();
    playlist = load(mediaURL, summary);
    if (!playlist) return summary;
  }
  summary.live = playlist->live;
  {
    std::lock_guard lock(mutex_);
    speed_ = summary.live ? 1 : settings_.speed;
  }
  const auto started = Clock::now();
  auto outOfTime = [&] {
    return !summary.live && settings_.seconds > 0 &&
           std::chrono::duration<double>(Clock::now() - started).count() >= settings_.seconds;
  };
  double fetchedMedia = 0;
  auto enough = [&] {
    return summary.live ? settings_.seconds > 0 && fetchedMedia >= settings_.seconds : outOfTime();
  };
  nextReload += seconds(std::clamp(playlist->targetDuration, kMinReloadSeconds, kMaxReloadSeconds));
  int64_t next = playlist->mediaSequence;
  if (summary.live) next = std::max(next, playlist->endSequence() - kLiveStartSegments);

  for (;;) {
    for (const auto& segment : playlist->segments) {
      if (segment.sequence < next) continue;  // never the same segment twice
      if (enough()) break;
      const bool last = summary.live ? settings_.seconds > 0 &&
                                           fetchedMedia + segment.duration >= settings_.seconds
                                     : &segment == &playlist->segments.back();
      const auto fetched = fetch(segment, last, summary, outOfTime);
      if (fetched == Fetched::failed) return summary;
      next = segment.sequence + 1;
      if (fetched == Fetched::ok) fetchedMedia += segment.duration;
    }
    if (!playlist->live || enough()) break;
    waitUntil(nextReload, summary);
    const int64_t before = playlist->endSequence();
    const auto reloadStarted = Clock::now();
    playlist = load(mediaURL, summary);
    if (!playlist) return summary;
    if (next < playlist->mediaSequence) {
      summary.missed += playlist->mediaSequence - next;
      next = playlist->mediaSequence;
    }
    // A reload that brought something new waits a target duration before the next; one that
    // brought nothing, half of it. Both are measured from the start of the reload.
    const double target =
        std::clamp(playlist->targetDuration, kMinReloadSeconds, kMaxReloadSeconds);
    nextReload = reloadStarted + seconds(playlist->endSequence() > before ? target : target / 2);
  }
  // Play out what is buffered: nothing more comes, so running dry now is the end, not a stall.
  {
    std::lock_guard lock(mutex_);
    if (!playing_ && bufferedEnd_ > playhead_) {
      playing_ = true;
      lastTick_ = Clock::now();
    }
  }
  for (;;) {
    double ahead = 0;
    {
      std::lock_guard lock(mutex_);
      advance(Clock::now());
      ahead = playing_ ? bufferedEnd_ - playhead_ : 0;
    }
    if (ahead <= 0 || outOfTime()) break;
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(ahead, 0.5) / speed_));
  }
  {
    std::lock_guard lock(mutex_);
    advance(Clock::now());
    summary.playedSeconds = playhead_;
  }
  // A stall still open when the stream ended has ended with it.
  if (stallStart_) {
    summary.stalledSeconds += std::chrono::duration<double>(Clock::now() - *stallStart_).count();
    stallStart_.reset();
    analytics_->calculateTotalBufferingTime();
  }
  summary.ok = true;
  return summary;
}

}  // namespace ombrelia::example
