#include "datachannel/SdpCandidate.hpp"

namespace ombrelia::datachannel {

std::string SdpCandidate::line() const {
  std::string text = "candidate:" + foundation + " " + std::to_string(component) + " " + transport +
                     " " + std::to_string(priority) + " " + address + " " + std::to_string(port) +
                     " typ " + type;
  if (relatedAddress) text += " raddr " + *relatedAddress;
  if (relatedPort) text += " rport " + std::to_string(*relatedPort);
  return text;
}

}  // namespace ombrelia::datachannel
