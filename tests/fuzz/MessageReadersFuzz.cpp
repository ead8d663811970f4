// Feeds arbitrary text to every reader of signalling and peer messages, and writes back what
// they accept: no input may crash, leak, or yield a record that cannot be written again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "peers/IceCandidate.hpp"
#include "peers/SessionDescription.hpp"
#include "protocol/AbonnementRequestMessageReader.hpp"
#include "protocol/AbonnementResponseMessageReader.hpp"
#include "protocol/ConnectionProofMessageReader.hpp"
#include "protocol/FileAvailabilityRequestMessageReader.hpp"
#include "protocol/FileAvailabilityResponseMessageReader.hpp"
#include "protocol/FileRequestEndMessageReader.hpp"
#include "protocol/FileRequestMessageReader.hpp"
#include "protocol/FileRequestResponseMessageReader.hpp"
#include "protocol/FileRequestStopMessageReader.hpp"
#include "protocol/GroupResponseMessageReader.hpp"
#include "protocol/InitMessageReader.hpp"
#include "protocol/NotifyFirstMessageReader.hpp"
#include "protocol/PeerChainMessageReader.hpp"
#include "protocol/PeerConnectionMessageReader.hpp"
#include "protocol/TrackerListReader.hpp"
#include "protocol/TransferCandidateMessageReader.hpp"
#include "protocol/TransferDescriptionMessageReader.hpp"

namespace {

// A record read from the network must write back and read back as itself.
template <typename Reader, typename Message>
void roundTrip(const Message& message) {
  auto written = message.encode();
  if (!written.ok()) std::abort();
  auto again = Reader().readJSON(*written.text);
  if (!again || !(*again == message)) std::abort();
}

template <typename Reader>
void readAndRoundTrip(std::string_view text) {
  if (auto message = Reader().readJSON(text)) roundTrip<Reader>(*message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrelia;
  std::string_view text(reinterpret_cast<const char*>(data), size);

  readAndRoundTrip<FileAvailabilityRequestMessageReader>(text);
  readAndRoundTrip<FileAvailabilityResponseMessageReader>(text);
  readAndRoundTrip<AbonnementRequestMessageReader>(text);
  readAndRoundTrip<AbonnementResponseMessageReader>(text);
  readAndRoundTrip<NotifyFirstMessageReader>(text);
  readAndRoundTrip<FileRequestMessageReader>(text);
  readAndRoundTrip<FileRequestResponseMessageReader>(text);
  readAndRoundTrip<FileRequestStopMessageReader>(text);
  readAndRoundTrip<FileRequestEndMessageReader>(text);
  readAndRoundTrip<PeerChainMessageReader>(text);
  readAndRoundTrip<ConnectionProofMessageReader>(text);
  readAndRoundTrip<InitMessageReader>(text);
  readAndRoundTrip<PeerConnectionMessageReader>(text);
  // Tracker URLs are kept as written, which a round trip cannot promise for every spelling.
  if (auto list = TrackerListReader().readJSON(text)) {
    if (!list->encode().ok()) std::abort();
  }
  if (auto group = GroupResponseMessageReader().readJSON(text)) {
    for (const auto& item : group->list()) (void)item.uuid().uuidString();
  }
  if (auto description = TransferDescriptionMessageReader().readJSON(text)) {
    (void)SessionDescription(*description);
  }
  if (auto candidate = TransferCandidateMessageReader().readJSON(text)) {
    (void)IceCandidate(*candidate);
  }
  return 0;
}
