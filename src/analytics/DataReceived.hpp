#pragma once
// One thread at a time: owned by the analytics service and touched only under its lock.

#include <cstdint>

#include "analytics/DataP2P.hpp"

namespace ombrelia {

// Bytes received since the service began: from peers by proximity, and from the origin
// (segments and playlists).
struct DataReceived {
  DataP2P p2p;
  int64_t http = 0;
};

}  // namespace ombrelia
