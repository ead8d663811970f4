#pragma once
// Any thread: a value type.

namespace ombrelia {

// The kind of network the library reaches the Internet over, as the analytics count traffic by it.
enum class NetworkType { wifi, cellular, unknown };

}  // namespace ombrelia
