#pragma once
// Any thread: an empty value.

namespace ombrelia::datachannel {

// The argument of a channel's open and close events; it carries nothing.
struct DCDcEvent {};

}  // namespace ombrelia::datachannel
