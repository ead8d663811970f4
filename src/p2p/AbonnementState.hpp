#pragma once
// Any thread: plain values.

namespace ombrelia {

// The state of the subscription to the one uploading peer.
enum class AbonnementState { potential = 0, requested = 1, confirmed = 2 };

}  // namespace ombrelia
