#include "p2p/PeerChain.hpp"

#include "protocol/PeerChainMessage.hpp"

namespace ombrelia {

std::string PeerChain::peerName(const Uuid& uuid) { return uuid.lowercaseString().substr(0, 8); }

std::string PeerChain::build(const std::optional<std::string>& prefix, const std::string& me,
                             const std::string& requester) {
  std::string chain = prefix ? *prefix + "|" : std::string();
  chain += me + "|" + requester;
  const size_t limit = PeerChainMessage::kMaxChainBytes;
  if (chain.size() <= limit) return chain;
  // The first name boundary from which the rest fits.
  const size_t cut = chain.find('|', chain.size() - limit - 1);
  if (cut == std::string::npos) return me + "|" + requester;
  return chain.substr(cut + 1);
}

bool PeerChain::isInLoop(std::string_view chain, std::string_view me) {
  const size_t last = chain.rfind('|');
  if (last == std::string_view::npos) return false;
  std::string_view head = chain.substr(0, last);
  for (;;) {
    const size_t bar = head.find('|');
    if (head.substr(0, bar) == me) return true;
    if (bar == std::string_view::npos) return false;
    head.remove_prefix(bar + 1);
  }
}

}  // namespace ombrelia
