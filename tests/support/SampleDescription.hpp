#pragma once
// Any thread: stateless.

#include <string>

namespace ombrelia::test {

// Session descriptions for tests that need of one only what a WebRTC client keeps: the
// certificate it names, which stands for the remote process.
class SampleDescription {
 public:
  // A data-channel description whose fingerprint, under `digest`, is one hexadecimal pair
  // repeated to the length of a SHA-256 digest ("AA:AA:...:AA"), with no candidate.
  static std::string withFingerprint(const std::string& pair, const std::string& digest = "sha-256",
                                     const std::string& iceUfrag = "EsAw");
};

}  // namespace ombrelia::test
