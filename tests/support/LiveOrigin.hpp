#pragma once
// Test thread only.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace ombrelia::test {

class ChildProcess;
class StreamOrigin;

// A live HLS origin on loopback: the live-stream script's ffmpeg writing a three-variant stream
// in real time into a folder of its own, served by nginx-light. Segments that leave the
// playlists' window stay on disk, so what a viewer received can be compared with them after the
// origin stopped listing them.
class LiveOrigin {
 public:
  struct Settings {
    int segmentSeconds = 4;
    int window = 5;             // segments listed in each media playlist
    int durationSeconds = 600;  // the encoder stops before that when the origin goes away
  };

  explicit LiveOrigin(Settings settings);
  ~LiveOrigin();
  LiveOrigin(const LiveOrigin&) = delete;
  LiveOrigin& operator=(const LiveOrigin&) = delete;

  // True once the first variant's playlist lists at least `count` segments within the bound.
  bool waitForSegments(int count, std::chrono::milliseconds bound);
  bool running() const;
  // "http://127.0.0.1:<port>" followed by the path, which starts with "/".
  std::string url(const std::string& path) const;
  // The bytes the encoder wrote at this path of the origin; absent when there is no such file.
  std::optional<std::string> file(const std::string& path) const;

 private:
  std::string folder_;
  std::unique_ptr<ChildProcess> encoder_;
  std::unique_ptr<StreamOrigin> origin_;
};

}  // namespace ombrelia::test
