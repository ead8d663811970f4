// Feeds arbitrary bytes to what a peer controls of a segment transfer outside the JSON
// messages: the binary segment frame header and the chain text of subscriptions.
#include <cstddef>
#include <cstdint>
#include <string>

#include <ombrelia/Data.hpp>

#include "p2p/PeerChain.hpp"
#include "protocol/PeerChainMessage.hpp"
#include "protocol/SegmentFrame.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrelia;
  const Data bytes(data, size);
  const auto frame = SegmentFrame::parse(bytes);
  if (frame) {
    if (size < SegmentFrame::kHeaderBytes ||
        frame->payload.size() != size - SegmentFrame::kHeaderBytes)
      __builtin_trap();
  } else if (size >= SegmentFrame::kHeaderBytes) {
    __builtin_trap();
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)PeerChain::isInLoop(text, "aaaaaaaa");
  const std::string chain = PeerChain::build(text, "aaaaaaaa", "bbbbbbbb");
  if (chain.size() > PeerChainMessage::kMaxChainBytes || !chain.ends_with("aaaaaaaa|bbbbbbbb"))
    __builtin_trap();
  return 0;
}
