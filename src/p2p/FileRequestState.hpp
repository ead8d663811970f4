#pragma once
// Any thread: plain values.

namespace ombrelia {

// Progress of one segment request sent to the subscribed peer.
enum class FileRequestState { pending = 0, inProgres = 1, finished = 2 };

}  // namespace ombrelia
