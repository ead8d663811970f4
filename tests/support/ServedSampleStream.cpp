#include "support/ServedSampleStream.hpp"

#include <unistd.h>

#include "support/HostProgram.hpp"
#include "support/ResidentMemory.hpp"
#include "support/SampleStream.hpp"

namespace ombrelia::test {
namespace {

const std::string kLocalPrefix = "http://127.0.0.1:";

}  // namespace

ServedSampleStream::ServedSampleStream(const std::string& name)
    : root_(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
  std::filesystem::create_directories(root_);
  std::filesystem::copy(SampleStream::folder("ts3"), root_ / "m",
                        std::filesystem::copy_options::recursive);
}

ServedSampleStream::~ServedSampleStream() {
  // Both read the folder until they stop.
  serve_.reset();
  origin_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

bool ServedSampleStream::start(const std::string& masterPath, std::chrono::milliseconds within) {
  origin_ = std::make_unique<StreamOrigin>(root_.string());
  if (!origin_->running()) {
    failure_ = "the origin did not start";
    return false;
  }
  serve_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{kHost, "serve", origin_->url(masterPath), "--port", "0"},
      ChildProcess::Settings{
          .captureStdout = true, .discardStderr = true, .extraEnvironment = viewerEnvironment()});
  const auto line = serve_->readLine(within);
  if (!line || !line->starts_with(kLocalPrefix)) {
    failure_ = line.value_or("no URL line");
    return false;
  }
  localMaster_ = *line;
  port_ = std::stoi(line->substr(kLocalPrefix.size()));
  return true;
}

}  // namespace ombrelia::test
