#include "support/LiveOrigin.hpp"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "support/ChildProcess.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::test {

LiveOrigin::LiveOrigin(Settings settings) {
  char tmpl[] = "/tmp/ombrelia-live-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return;
  folder_ = tmpl;
  encoder_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{std::string(OMBRELIA_SOURCE_DIR) + "/tests/support/live-stream",
                               folder_ + "/stream", std::to_string(settings.durationSeconds),
                               std::to_string(settings.segmentSeconds),
                               std::to_string(settings.window)},
      ChildProcess::Settings{});
  std::filesystem::create_directories(folder_ + "/stream");
  origin_ = std::make_unique<StreamOrigin>(folder_ + "/stream");
}

LiveOrigin::~LiveOrigin() {
  origin_.reset();
  encoder_.reset();
  if (!folder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
}

bool LiveOrigin::running() const { return encoder_ && origin_ && origin_->running(); }

std::string LiveOrigin::url(const std::string& path) const { return origin_->url(path); }

std::optional<std::string> LiveOrigin::file(const std::string& path) const {
  if (path.find("..") != std::string::npos) return std::nullopt;
  std::ifstream in(folder_ + "/stream" + path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool LiveOrigin::waitForSegments(int count, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    int listed = 0;
    if (const auto playlist = file("/v0/index.m3u8")) {
      for (size_t at = playlist->find("#EXTINF:"); at != std::string::npos;
           at = playlist->find("#EXTINF:", at + 1)) {
        ++listed;
      }
    }
    if (listed >= count && file("/master.m3u8")) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (encoder_->wait(std::chrono::milliseconds(0))) return false;  // the encoder died
    std::this_thread::sleep_for(std::chrono::milliseconds(50));      // a file offers no event
  }
}

}  // namespace ombrelia::test
