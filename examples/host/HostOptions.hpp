#pragma once
// The host application's main thread.

#include <cstdint>
#include <optional>
#include <string>

#include <ombrelia/Url.hpp>

namespace ombrelia::example {

// The command line of the example host application:
//   ombrelia-host serve <origin-url> [--level N | --whole] [--port P] [--tracker URL]
//                       [--assume-buffer S]
//   ombrelia-host play  <origin-url> [same options but --assume-buffer] [--seconds S]
//                       [--speed X] [--quiet] [--digests] [--stay]
//   ombrelia-host --help (or -h, anywhere after the command)
struct HostOptions {
  enum class Command { serve, play };

  Command command = Command::serve;
  std::string originURL;
  std::optional<int64_t> level = 0;  // absent: --whole, the playlist is left whole
  std::optional<uint16_t> port;      // absent: the library's 8080
  std::optional<Url> tracker;        // a ws:// or wss:// URL with a host
  std::string key = "demo-key";
  std::string videoID = "demo-video";
  std::optional<std::string> clientID;  // a random one when absent
  double seconds = 0;  // on demand: wall-clock seconds; live: media seconds; 0: to the end
  double speed = 1;    // media seconds played per wall-clock second (on demand only)
  bool quiet = false;
  bool digests = false;  // prints the SHA-256 of every segment received
  bool stay = false;     // after playing, keep serving peers and reporting until SIGINT/SIGTERM
  // Serve only: the seconds of media the external player is taken to hold buffered, reported to
  // the library as the player's buffer. Absent: none, so every segment comes from the origin.
  std::optional<double> assumedBuffer;
  int logLevel = 0;
  // --help or -h: print the usage and do nothing else.
  bool helpAsked = false;

  // Absent, with the reason and the bound it broke written to standard error, when the command
  // line is wrong: a number out of range or not whole where a whole one is asked, an option the
  // command does not take.
  static std::optional<HostOptions> parse(int argc, char** argv);
  static const char* usage();
};

}  // namespace ombrelia::example
