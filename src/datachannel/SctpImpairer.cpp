#include "datachannel/SctpImpairer.hpp"

#include <glib.h>

#include <algorithm>
#include <memory>

#include "datachannel/GlibLoop.hpp"
#include "datachannel/SctpChecksum.hpp"

namespace ombrelia::datachannel {
namespace {

struct Delayed {
  std::vector<uint8_t> bytes;
  SctpImpairer::Send send;
};

// A one-shot timer per packet, so that each leaves at its own moment whatever the others do.
void sendLater(std::chrono::milliseconds delay, std::unique_ptr<Delayed> packet) {
  GSource* source = g_timeout_source_new(static_cast<guint>(delay.count()));
  g_source_set_callback(
      source,
      [](gpointer data) -> gboolean {
        const auto* packet = static_cast<Delayed*>(data);
        packet->send(packet->bytes.data(), {packet->bytes.size()});
        return G_SOURCE_REMOVE;
      },
      packet.release(), [](gpointer data) { delete static_cast<Delayed*>(data); });
  g_source_attach(source, GlibLoop::shared().context());
  g_source_unref(source);
}

// Chunk types whose value starts with the cumulative TSN and the advertised window.
constexpr uint8_t kSackChunk = 3;
constexpr uint8_t kNrSackChunk = 16;

// Sets the advertised window of every acknowledgement in the packet to 0 and stamps the checksum
// again. The packet is one usrsctp made, so its chunk lengths hold.
void shutWindowIn(uint8_t* packet, size_t size) {
  bool changed = false;
  for (size_t at = SctpChecksum::kCommonHeaderBytes; at + 4 <= size;) {
    const size_t length = (static_cast<size_t>(packet[at + 2]) << 8) | packet[at + 3];
    if (length < 4 || at + length > size) break;
    if ((packet[at] == kSackChunk || packet[at] == kNrSackChunk) && length >= 12) {
      std::fill(packet + at + 8, packet + at + 12, uint8_t{0});
      changed = true;
    }
    at += (length + 3) & ~size_t{3};
  }
  if (changed) SctpChecksum::stamp(packet, size);
}

}  // namespace

SctpImpairer::SctpImpairer(const SctpImpairment& impairment)
    : impairment_(impairment), random_(impairment.seed) {}

bool SctpImpairer::loses() {
  ++count_;
  if (impairment_.loseEvery != 0 && count_ % impairment_.loseEvery == 0) return true;
  return chance(impairment_.lossRate);
}

bool SctpImpairer::chance(double rate) {
  return rate > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(random_) < rate;
}

std::chrono::milliseconds SctpImpairer::delay() {
  const long long jitter = impairment_.jitter.count();
  const long long offset =
      jitter > 0 ? std::uniform_int_distribution<long long>(-jitter, jitter)(random_) : 0;
  return std::chrono::milliseconds(std::max(0LL, impairment_.delay.count() + offset));
}

void SctpImpairer::pass(const uint8_t* bytes, const std::vector<size_t>& ends, const Send& send) {
  const bool delaying = impairment_.delay.count() > 0 || impairment_.jitter.count() > 0;
  // Those not held still leave as one batch, the way every packet does.
  std::vector<uint8_t> kept;
  std::vector<size_t> keptEnds;
  {
    std::lock_guard lock(mutex_);
    size_t start = 0;
    for (const size_t end : ends) {
      const size_t begin = start;
      start = end;
      if (impairment_.filter && !impairment_.filter(bytes + begin, end - begin)) continue;
      if (loses()) continue;
      if (impairment_.shutWindow) {
        // Changed in place in a copy: the caller's bytes are its own.
        kept.insert(kept.end(), bytes + begin, bytes + end);
        shutWindowIn(kept.data() + kept.size() - (end - begin), end - begin);
        if (delaying && !chance(impairment_.overtakeRate)) {
          auto packet = std::make_unique<Delayed>();
          packet->bytes.assign(kept.end() - static_cast<std::ptrdiff_t>(end - begin), kept.end());
          kept.resize(kept.size() - (end - begin));
          packet->send = send;
          sendLater(delay(), std::move(packet));
          continue;
        }
        keptEnds.push_back(kept.size());
        continue;
      }
      if (delaying && !chance(impairment_.overtakeRate)) {
        auto packet = std::make_unique<Delayed>();
        packet->bytes.assign(bytes + begin, bytes + end);
        packet->send = send;
        sendLater(delay(), std::move(packet));
        continue;
      }
      kept.insert(kept.end(), bytes + begin, bytes + end);
      keptEnds.push_back(kept.size());
    }
  }
  if (!keptEnds.empty()) send(kept.data(), keptEnds);
}

}  // namespace ombrelia::datachannel
