#include "support/StreamPlayback.hpp"

#include <fstream>
#include <iterator>
#include <sstream>

#include "support/ProxyFixture.hpp"

namespace ombrelia::test {

std::vector<std::string> localUrlsIn(const std::string& playlist) {
  std::vector<std::string> urls;
  std::istringstream lines(playlist);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("http://127.0.0.1:")) urls.push_back(line);
  }
  return urls;
}

Playback playThrough(const std::string& masterLocalUrl, const std::string& documentRoot,
                     const std::string& servedPrefix) {
  Playback playback;
  const Fetched master = fetchWithCurl(masterLocalUrl);
  const auto variants = localUrlsIn(master.body);
  if (master.status != 200 || variants.empty()) {
    playback.failure =
        "master playlist: " + std::to_string(master.status) + " " + master.body.substr(0, 200);
    return playback;
  }
  const Fetched media = fetchWithCurl(variants.front());
  const auto segments = localUrlsIn(media.body);
  if (media.status != 200 || segments.empty()) {
    playback.failure =
        "media playlist: " + std::to_string(media.status) + " " + media.body.substr(0, 200);
    return playback;
  }
  for (const auto& url : segments) {
    // The local URL's path is the origin's.
    const size_t pathStart = url.find('/', std::string("http://127.0.0.1:").size());
    std::string path = url.substr(pathStart, url.find('?') - pathStart);
    if (!servedPrefix.empty() && path.starts_with(servedPrefix)) {
      path = path.substr(servedPrefix.size());
    }
    std::ifstream file(documentRoot + path, std::ios::binary);
    const std::string expected((std::istreambuf_iterator<char>(file)), {});
    const Fetched segment = fetchWithCurl(url);
    if (segment.status != 200 || expected.empty() || segment.body != expected) {
      playback.failure = path + ": " + std::to_string(segment.status) + ", " +
                         std::to_string(segment.body.size()) + " bytes for " +
                         std::to_string(expected.size());
      return playback;
    }
    ++playback.segments;
  }
  return playback;
}

}  // namespace ombrelia::test
