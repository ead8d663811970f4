#include "HostOptions.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ShownText.hpp"

namespace ombrelia::example {
namespace {

// A level indexes the master playlist's variants: more than any playlist the proxy accepts
// holds (524,288 lines, two a variant), so every level it could use is taken.
constexpr int64_t kMaxLevel = 1'000'000;
// Media seconds played per wall-clock second: past this the paced player no longer keeps pace
// with its own clock, and a test wanting faster plays the stream whole.
constexpr double kMaxSpeed = 1000;

std::optional<double> number(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Digits only, within [low, high]: "1.5", "1e3", "+2" and " 2" are refused, not rounded.
std::optional<int64_t> wholeNumber(const char* text, int64_t low, int64_t high) {
  const std::string_view view(text);
  int64_t value = 0;
  const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
  if (view.empty() || error != std::errc() || end != view.data() + view.size()) return std::nullopt;
  if (value < low || value > high) return std::nullopt;
  return value;
}

bool isHelp(std::string_view arg) { return arg == "--help" || arg == "-h"; }

}  // namespace

const char* HostOptions::usage() {
  return "usage: ombrelia-host serve <origin-url> [--level N | --whole] [--port P] "
         "[--tracker wss://host:port/]\n"
         "                           [--assume-buffer S]\n"
         "       ombrelia-host play <origin-url> [same options but --assume-buffer] [--seconds S] "
         "[--speed X]\n"
         "                           [--quiet] [--digests] [--stay]\n"
         "       ombrelia-host --help\n"
         "--level: a whole number from 0 to 1000000 (0: the lowest variant, past the last: the "
         "highest)\n"
         "--port: a whole number from 0 to 65535 (0: any free port)\n"
         "a live stream is played for --seconds of media, in real time; --speed: above 0, at most "
         "1000\n"
         "--assume-buffer (serve only): the seconds of media the external player keeps buffered, "
         "told to the\n"
         "library as its buffer; peers are asked for segments only while it is above 4.5 s "
         "(play's\n"
         "own player reports its buffer)\n"
         "other options: --key K --video-id V --client-id C --log-level 0..4\n";
}

std::optional<HostOptions> HostOptions::parse(int argc, char** argv) {
  HostOptions options;
  auto fail = [](const std::string& why) -> std::optional<HostOptions> {
    std::fprintf(stderr, "ombrelia-host: %s\n%s", why.c_str(), usage());
    return std::nullopt;
  };
  if (argc >= 2 && isHelp(argv[1])) {
    options.helpAsked = true;
    return options;
  }
  if (argc < 3) return fail("a command and an origin URL are needed");
  const std::string_view command = argv[1];
  if (command == "serve") {
    options.command = Command::serve;
  } else if (command == "play") {
    options.command = Command::play;
  } else {
    return fail("unknown command " + shownText(command));
  }
  if (isHelp(argv[2])) {
    options.helpAsked = true;
    return options;
  }
  options.originURL = argv[2];
  const bool serve = options.command == Command::serve;
  // Options of play's own player: serve hands the stream to an external one, which they would
  // not reach, so they are refused there rather than ignored.
  auto playOnly = [&](std::string_view arg) -> std::optional<HostOptions> {
    return fail(std::string(arg) + " is for play: serve has no player of its own");
  };
  for (int i = 3; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    auto value = [&]() { return argv[++i]; };
    if (isHelp(arg)) {
      options.helpAsked = true;
      return options;
    } else if (arg == "--whole") {
      options.level.reset();
    } else if (arg == "--quiet" || arg == "--digests" || arg == "--stay") {
      if (serve) return playOnly(arg);
      if (arg == "--quiet") options.quiet = true;
      if (arg == "--digests") options.digests = true;
      if (arg == "--stay") options.stay = true;
    } else if (!hasValue) {
      return fail("missing value or unknown option " + shownText(arg));
    } else if (arg == "--level") {
      const auto n = wholeNumber(value(), 0, kMaxLevel);
      if (!n) return fail("--level takes a whole number from 0 to " + std::to_string(kMaxLevel));
      options.level = *n;
    } else if (arg == "--port") {
      const auto n = wholeNumber(value(), 0, 65535);
      if (!n) return fail("--port takes a whole number from 0 to 65535");
      options.port = static_cast<uint16_t>(*n);
    } else if (arg == "--tracker") {
      // Refused here rather than left to fail at every connection, silently, far from the
      // command line; the text is not repeated, as it may hold a password.
      auto tracker = Url::parseAbsolute(value());
      if (!tracker || (tracker->scheme() != "ws" && tracker->scheme() != "wss") ||
          tracker->host().value_or("").empty()) {
        return fail("--tracker takes a ws:// or wss:// URL with a host");
      }
      options.tracker = std::move(*tracker);
    } else if (arg == "--seconds") {
      if (serve) return playOnly(arg);
      const auto n = number(value());
      if (!n || *n < 0) return fail("--seconds takes a number of seconds from 0 (0: to the end)");
      options.seconds = *n;
    } else if (arg == "--speed") {
      if (serve) return playOnly(arg);
      const auto n = number(value());
      if (!n || *n <= 0 || *n > kMaxSpeed) {
        return fail("--speed takes a factor above 0 and at most " +
                    std::to_string(static_cast<int>(kMaxSpeed)));
      }
      options.speed = *n;
    } else if (arg == "--assume-buffer") {
      if (!serve) return fail("--assume-buffer is for serve: play reports its own player's buffer");
      const auto n = number(value());
      if (!n || *n < 0) return fail("--assume-buffer takes a number of seconds from 0");
      options.assumedBuffer = *n;
    } else if (arg == "--key") {
      options.key = value();
    } else if (arg == "--video-id") {
      options.videoID = value();
    } else if (arg == "--client-id") {
      options.clientID = value();
    } else if (arg == "--log-level") {
      const auto n = wholeNumber(value(), 0, 4);
      if (!n) return fail("--log-level takes a whole number from 0 to 4");
      options.logLevel = static_cast<int>(*n);
    } else {
      return fail("unknown option " + shownText(arg));
    }
  }
  return options;
}

}  // namespace ombrelia::example
