#pragma once
// Any thread: plain values.

namespace ombrelia {

// A segment the player waits for, or one fetched ahead of it.
enum class FileRequestType { main = 0, predownload = 1 };

}  // namespace ombrelia
