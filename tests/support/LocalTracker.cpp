#include "support/LocalTracker.hpp"

#include <unistd.h>

#include <csignal>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/WaitScale.hpp"

namespace ombrelia::test {
namespace {
const std::string kBin = OMBRELIA_BINARY_DIR;
// Its first line is its URL, and each command written to it is answered with a line.
const ChildProcess::Settings kSettings{.captureStdout = true, .pipeStdin = true};
}  // namespace

LocalTracker::LocalTracker(bool groupAfterUuid, bool announceDepartures) {
  folder_ =
      (std::filesystem::temp_directory_path() / ("ombrelia-tracker-" + std::to_string(::getpid())))
          .string();
  std::filesystem::create_directories(folder_);
  caFile_ = folder_ + "/ca.pem";
  analyticsLog_ = folder_ + "/analytics.log";
  std::vector<std::string> argv{kBin + "/tests/ombrelia-test-tracker",
                                "--ca-file",
                                caFile_,
                                "--analytics-log",
                                analyticsLog_,
                                "--commands"};
  if (groupAfterUuid) argv.push_back("--group-after-uuid");
  if (!announceDepartures) argv.push_back("--silent-departures");
  argv_ = std::move(argv);
  process_ = std::make_unique<ChildProcess>(argv_, kSettings);
  auto line = process_->readLine(scaledWait(std::chrono::seconds(10)));
  if (line && line->starts_with("wss://127.0.0.1:")) url_ = *line;
}

bool LocalTracker::restart() {
  if (!url_) return false;
  process_->stop(SIGKILL, scaledWait(std::chrono::seconds(5)));
  // "wss://127.0.0.1:<port>/": the number ends at the slash.
  const int port = std::stoi(url_->substr(url_->rfind(':') + 1));
  std::vector<std::string> argv = argv_;
  argv.insert(argv.end(), {"--port", std::to_string(port)});
  process_ = std::make_unique<ChildProcess>(argv, kSettings);
  auto line = process_->readLine(scaledWait(std::chrono::seconds(10)));
  return line && *line == *url_;
}

std::optional<std::string> LocalTracker::startRelaying(const std::string& from,
                                                       const std::string& to) {
  if (!process_->writeLine("relay " + from + " " + to)) return std::nullopt;
  const auto line = process_->readLine(scaledWait(std::chrono::seconds(10)));
  const std::string prefix = "relaying ";
  if (!line || !line->starts_with(prefix)) return std::nullopt;
  return line->substr(prefix.size());
}

bool LocalTracker::stopRelaying() {
  if (!process_->writeLine("leave")) return false;
  const auto line = process_->readLine(scaledWait(std::chrono::seconds(10)));
  return line && *line == "left";
}

std::optional<std::string> LocalTracker::floodOffers(const std::string& to, size_t count) {
  if (!process_->writeLine("offers " + to + " " + std::to_string(count))) return std::nullopt;
  const auto line = process_->readLine(scaledWait(std::chrono::seconds(10)));
  const std::string prefix = "offering ";
  if (!line || !line->starts_with(prefix)) return std::nullopt;
  return line->substr(prefix.size());
}

std::optional<size_t> LocalTracker::offersWritten() { return count("offered"); }

std::optional<size_t> LocalTracker::count(const std::string& command) {
  if (!process_->writeLine(command)) return std::nullopt;
  const auto line = process_->readLine(scaledWait(std::chrono::seconds(10)));
  if (!line || line->empty() || line->find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(*line);
}

std::optional<std::string> LocalTracker::joinChannelOpener(const std::string& to) {
  if (!process_->writeLine("opener " + to)) return std::nullopt;
  const auto line = process_->readLine(scaledWait(std::chrono::seconds(30)));
  const std::string prefix = "joined ";
  if (!line || !line->starts_with(prefix)) return std::nullopt;
  return line->substr(prefix.size());
}

bool LocalTracker::openChannels(size_t count, size_t bytes, size_t messages) {
  if (!process_->writeLine("open " + std::to_string(count) + " " + std::to_string(bytes) + " " +
                           std::to_string(messages)))
    return false;
  const auto line = process_->readLine(scaledWait(std::chrono::seconds(10)));
  return line && *line == "opening";
}

bool LocalTracker::reopenChannels(size_t streams, size_t seconds) {
  if (!process_->writeLine("reopen " + std::to_string(streams) + " " + std::to_string(seconds)))
    return false;
  const auto line = process_->readLine(scaledWait(std::chrono::seconds(10)));
  return line && *line == "opening";
}

std::optional<bool> LocalTracker::channelOpenerEnded() {
  const auto ended = count("ended");
  return ended ? std::optional<bool>(*ended == 1) : std::nullopt;
}

std::optional<size_t> LocalTracker::channelsOpened() { return count("opened"); }

std::optional<size_t> LocalTracker::joinAskers(const std::string& to, size_t count) {
  if (!process_->writeLine("askers " + to + " " + std::to_string(count))) return std::nullopt;
  const auto line = process_->readLine(std::chrono::seconds(120));
  if (!line || line->empty() || line->find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoull(*line);
}

bool LocalTracker::askSteadily(size_t intervalMs, size_t seconds) {
  if (!process_->writeLine("ask " + std::to_string(intervalMs) + " " + std::to_string(seconds)))
    return false;
  const auto line = process_->readLine(std::chrono::seconds(10));
  return line && *line == "asking";
}

std::optional<size_t> LocalTracker::askersEnded() { return count("askersEnded"); }

std::optional<LocalTracker::Fetched> LocalTracker::fetchThenLeave(const std::string& to,
                                                                  size_t whole,
                                                                  size_t lingeringMs) {
  if (!process_->writeLine("fetch " + to + " " + std::to_string(whole) + " " +
                           std::to_string(lingeringMs)))
    return std::nullopt;
  const auto line = process_->readLine(scaledWait(std::chrono::seconds(120)));
  Fetched fetched;
  if (!line || std::sscanf(line->c_str(), "fetched %zu %llu", &fetched.wholeSegments,
                           &fetched.frameBytes) != 2)
    return std::nullopt;
  return fetched;
}

LocalTracker::~LocalTracker() {
  process_.reset();
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

std::vector<LocalTracker::AnalyticsRecord> LocalTracker::analyticsRecords() const {
  std::vector<AnalyticsRecord> records;
  std::ifstream in(analyticsLog_);
  std::string line;
  // A line still being written has no newline yet; getline hands it over only at the end of
  // the file, where it is dropped unless it is whole JSON.
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string text = line.substr(tab + 1);
    if (in.eof() && !text.ends_with("}")) break;
    records.push_back({std::stoul(line.substr(0, tab)), text});
  }
  return records;
}

std::unique_ptr<ChildProcess> LocalTracker::startHost(
    const std::string& command, const std::string& originURL, const std::vector<std::string>& extra,
    const std::vector<std::string>& environment, std::optional<unsigned long> maxOpenFiles) const {
  std::vector<std::string> argv{kBin + "/examples/ombrelia-host",
                                command,
                                originURL,
                                "--port",
                                "0",
                                "--tracker",
                                url_.value_or("")};
  argv.insert(argv.end(), extra.begin(), extra.end());
  std::vector<std::string> variables{"SSL_CERT_FILE=" + caFile_};
  variables.insert(variables.end(), environment.begin(), environment.end());
  return std::make_unique<ChildProcess>(
      argv, ChildProcess::Settings{.captureStdout = true,
                                   .discardStderr = true,
                                   .extraEnvironment = std::move(variables),
                                   .maxOpenFiles = maxOpenFiles});
}

}  // namespace ombrelia::test
