#pragma once
// Any thread: a listener is added by whoever holds a copy of the buffer, and told on whichever
// thread lets go of the buffer's last copy.

#include <cstddef>
#include <memory>
#include <string>

#include <ombrelia/Data.hpp>

namespace ombrelia {

// Told once per buffer it watches, as the buffer's last copy goes and its bytes are freed.
class DataReleaseListener {
 public:
  virtual ~DataReleaseListener() = default;
  // Runs on the thread that dropped the last copy, inside whatever that thread was doing (maybe
  // under its own locks): it must be short and take no lock that is held while a Data is let go.
  virtual void released(size_t bytes) noexcept = 0;
};

// The memory under every Data: one allocation holding the bytes and the list of listeners told
// when the last copy goes. A copy or slice shares it, so whoever ends up holding the bytes (a
// slow player, an upload, the store itself) keeps them counted by an owner that let them go,
// such as the segment store after evicting a segment, until they are really freed.
class DataBuffer {
 public:
  DataBuffer() = delete;

  // What Data's constructors keep their bytes in.
  static std::shared_ptr<const std::string> make(std::string bytes);

  // The bytes the buffer under `data` keeps in memory (for a slice, its whole buffer); 0 for a
  // Data without one.
  static size_t bytesUnder(const Data& data);
  // Names the buffer under `data` while it lives (an address, reused once it is freed); null
  // for a Data without one.
  static const void* identity(const Data& data);
  // Tells `listener` once, when the last copy of the buffer under `data` goes. False, and
  // nothing changes, for a Data without a buffer or when the listener already watches it. One
  // listener is added to a buffer from one thread at a time.
  static bool watch(const Data& data, std::shared_ptr<DataReleaseListener> listener);
};

}  // namespace ombrelia
