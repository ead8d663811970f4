#include "HostOptions.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ShownText.hpp"

namespace ombrelia::example {
namespace {

std::optional<double> number(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

const char* HostOptions::usage() {
  return "usage: ombrelia-host serve <origin-url> [--level N | --whole] [--port P] "
         "[--tracker wss://host:port/]\n"
         "                           [--assume-buffer S]\n"
         "       ombrelia-host play <origin-url> [same options] [--seconds S] [--speed X] "
         "[--quiet] [--digests] [--stay]\n"
         "a live stream is played for --seconds of media, in real time\n"
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
  if (argc < 3) return fail("a command and an origin URL are needed");
  const std::string_view command = argv[1];
  if (command == "serve") {
    options.command = Command::serve;
  } else if (command == "play") {
    options.command = Command::play;
  } else {
    return fail("unknown command " + shownText(command));
  }
  options.originURL = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    auto value = [&]() { return argv[++i]; };
    if (arg == "--whole") {
      options.level.reset();
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--digests") {
      options.digests = true;
    } else if (arg == "--stay") {
      options.stay = true;
    } else if (!hasValue) {
      return fail("missing value or unknown option " + shownText(arg));
    } else if (arg == "--level") {
      const auto n = number(value());
      if (!n || *n < 0) return fail("--level takes a whole number from 0");
      options.level = static_cast<int64_t>(*n);
    } else if (arg == "--port") {
      const auto n = number(value());
      if (!n || *n < 0 || *n > 65535) return fail("--port takes a port number");
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
      const auto n = number(value());
      if (!n || *n < 0) return fail("--seconds takes a number of seconds");
      options.seconds = *n;
    } else if (arg == "--speed") {
      const auto n = number(value());
      if (!n || *n <= 0 || *n > 1000) return fail("--speed takes a factor above 0");
      options.speed = *n;
    } else if (arg == "--assume-buffer") {
      const auto n = number(value());
      if (!n || *n < 0) return fail("--assume-buffer takes a number of seconds");
      options.assumedBuffer = *n;
    } else if (arg == "--key") {
      options.key = value();
    } else if (arg == "--video-id") {
      options.videoID = value();
    } else if (arg == "--client-id") {
      options.clientID = value();
    } else if (arg == "--log-level") {
      const auto n = number(value());
      if (!n || *n < 0 || *n > 4) return fail("--log-level takes 0 to 4");
      options.logLevel = static_cast<int>(*n);
    } else {
      return fail("unknown option " + shownText(arg));
    }
  }
  if (options.assumedBuffer && options.command != Command::serve) {
    return fail("--assume-buffer is for serve: play reports its own player's buffer");
  }
  return options;
}

}  // namespace ombrelia::example
