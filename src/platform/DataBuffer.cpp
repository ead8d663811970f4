#include "platform/DataBuffer.hpp"

#include <atomic>
#include <type_traits>
#include <utility>

namespace ombrelia {
namespace {

struct Watcher {
  std::shared_ptr<DataReleaseListener> listener;
  Watcher* next = nullptr;
};

// The bytes come first so that a Data's pointer to them is a pointer to the whole buffer; the
// listeners cost one pointer per buffer until one is added.
struct Buffer {
  std::string bytes;
  std::atomic<Watcher*> watchers{nullptr};

  explicit Buffer(std::string taken) : bytes(std::move(taken)) {}
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    Watcher* watcher = watchers.load(std::memory_order_acquire);
    while (watcher != nullptr) {
      watcher->listener->released(bytes.size());
      delete std::exchange(watcher, watcher->next);
    }
  }
};
static_assert(std::is_standard_layout_v<Buffer>, "the bytes must be where the buffer starts");

Buffer* bufferAt(const std::string* bytes) {
  // Every Data buffer is made by DataBuffer::make: its string is a Buffer's first member.
  return reinterpret_cast<Buffer*>(const_cast<std::string*>(bytes));
}

}  // namespace

std::shared_ptr<const std::string> DataBuffer::make(std::string bytes) {
  auto buffer = std::make_shared<Buffer>(std::move(bytes));
  const std::string* inside = &buffer->bytes;
  return std::shared_ptr<const std::string>(std::move(buffer), inside);
}

size_t DataBuffer::bytesUnder(const Data& data) {
  return data.storage_ ? data.storage_->size() : 0;
}

const void* DataBuffer::identity(const Data& data) { return data.storage_.get(); }

bool DataBuffer::watch(const Data& data, std::shared_ptr<DataReleaseListener> listener) {
  if (!data.storage_ || !listener) return false;
  Buffer* buffer = bufferAt(data.storage_.get());
  Watcher* head = buffer->watchers.load(std::memory_order_acquire);
  for (Watcher* w = head; w != nullptr; w = w->next) {
    if (w->listener == listener) return false;
  }
  auto* added = new Watcher{std::move(listener), head};
  // Another listener may be added at the same moment from another thread: retry on its head.
  while (!buffer->watchers.compare_exchange_weak(added->next, added, std::memory_order_acq_rel,
                                                 std::memory_order_acquire)) {
  }
  return true;
}

}  // namespace ombrelia
