// A small host application embedding the library the way an application does: configure once,
// choose the log level, then use the library.
#include <ombrelia/Ombrelia.hpp>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void printSettings() {
  const auto& config = ombrelia::OmbreliaConfig::shared();
  const auto level = config.currentLevel();
  std::printf("ombreliaKey: %s\n", config.ombreliaKey().c_str());
  std::printf("videoID: %s\n", config.videoID().c_str());
  std::printf("activated: %s\n", config.activated() ? "true" : "false");
  std::printf("p2pActivated: %s\n", config.p2pActivated() ? "true" : "false");
  std::printf("currentLevel: %s\n", level ? std::to_string(*level).c_str() : "whole playlist");
  std::printf("maxPreloadedSegments: %lld\n",
              static_cast<long long>(config.maxPreloadedSegments()));
  std::printf("maxUploadPercent: %.2f\n", config.maxUploadPercent());
  std::printf("log level: %d\n",
              ombrelia::rawValue(ombrelia::OLoggerConfig::shared().activeLogLevel()));
}

} // namespace

int main(int argc, char** argv) {
  std::string key = "demo-key";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--key") == 0 && i + 1 < argc)
      key = argv[++i];
  }
  ombrelia::OmbreliaConfig::configure(key);
  ombrelia::OmbreliaConfig::shared().setVideoID("demo-video");
  ombrelia::OLoggerConfig::shared().setActiveLogLevel(ombrelia::OLogLevel::info);
  ombrelia::OmbreliaLogger::info("host application configured", ombrelia::OLogModule::videoStatus);
  printSettings();
  return 0;
}
