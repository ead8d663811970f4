#include <ombrelia/Ombrelia.hpp>

#include <cstdio>

int main() {
  ombrelia::OmbreliaConfig::configure("key-1");
  std::printf("consumer: configured %s\n", ombrelia::OmbreliaConfig::shared().ombreliaKey().c_str());
  return 0;
}
