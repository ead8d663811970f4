#pragma once
// Any thread: a value type.

namespace ombrelia {

// The kind of device the library runs on, as the analytics count traffic by it.
enum class DeviceType { iPhone, iPad, tvOS, unknown };

}  // namespace ombrelia
