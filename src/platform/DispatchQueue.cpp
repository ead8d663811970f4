#include "platform/DispatchQueue.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <vector>

#include "platform/MonotonicClock.hpp"
#include "platform/Scheduler.hpp"
#include "platform/WorkerPool.hpp"

namespace ombrelia::platform {
namespace {
// A serial queue hands its thread back to the pool after this many blocks, so one busy queue
// cannot hold a worker forever while other queues wait.
constexpr int kSerialBurst = 64;
}  // namespace

struct DispatchQueue::State : std::enable_shared_from_this<State> {
  struct Item {
    Block block;
    bool barrier;
  };

  explicit State(Kind k) : kind(k) {}

  Kind kind;
  std::mutex mutex;
  std::condition_variable idle;
  std::deque<Item> items;
  size_t running = 0;  // blocks handed to the pool and not finished
  bool barrierRunning = false;
  bool draining = false;  // serial: a drain job is in the pool

  // The queues whose blocks the current thread is running, innermost last.
  static thread_local std::vector<const State*> current;

  void runBlock(Block& block) {
    current.push_back(this);
    block();
    block = nullptr;
    current.pop_back();
  }

  void enqueue(Block block, bool barrier) {
    std::unique_lock lock(mutex);
    items.push_back({std::move(block), barrier});
    if (kind == Kind::serial) {
      if (!draining) {
        draining = true;
        lock.unlock();
        WorkerPool::shared().submit([self = shared_from_this()] { self->drainSerial(); });
      }
      return;
    }
    pumpConcurrent(lock);
  }

  void drainSerial() {
    for (int i = 0; i < kSerialBurst; ++i) {
      Item item;
      {
        std::lock_guard lock(mutex);
        if (items.empty()) {
          draining = false;
          idle.notify_all();
          return;
        }
        item = std::move(items.front());
        items.pop_front();
        running = 1;
      }
      runBlock(item.block);
      std::lock_guard lock(mutex);
      running = 0;
    }
    WorkerPool::shared().submit([self = shared_from_this()] { self->drainSerial(); });
  }

  // Starts every block that may run now. Called with the lock held; releases it.
  void pumpConcurrent(std::unique_lock<std::mutex>& lock) {
    std::vector<Item> ready;
    while (!items.empty() && !barrierRunning) {
      if (items.front().barrier) {
        if (running > 0 || !ready.empty())
          break;
        barrierRunning = true;
      }
      ++running;
      ready.push_back(std::move(items.front()));
      items.pop_front();
      if (barrierRunning)
        break;
    }
    lock.unlock();
    for (auto& item : ready) {
      WorkerPool::shared().submit([self = shared_from_this(), block = std::move(item.block),
                                   barrier = item.barrier]() mutable {
        self->runBlock(block);
        std::unique_lock relock(self->mutex);
        --self->running;
        if (barrier)
          self->barrierRunning = false;
        if (self->running == 0 && self->items.empty())
          self->idle.notify_all();
        self->pumpConcurrent(relock);
      });
    }
  }

  bool isCurrent() const {
    return std::find(current.begin(), current.end(), this) != current.end();
  }
};

thread_local std::vector<const DispatchQueue::State*> DispatchQueue::State::current;

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label, Kind kind) {
  return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label), kind));
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::main() {
  static auto* queue = new std::shared_ptr<DispatchQueue>(create("main", Kind::serial));
  return *queue;
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::global() {
  static auto* queue = new std::shared_ptr<DispatchQueue>(create("global", Kind::concurrent));
  return *queue;
}

DispatchQueue::DispatchQueue(std::string label, Kind kind)
    : label_(std::move(label)), kind_(kind), state_(std::make_shared<State>(kind)) {}

// Blocks already queued keep the state alive and still run.
DispatchQueue::~DispatchQueue() = default;

void DispatchQueue::async(Block block) {
  state_->enqueue(std::move(block), false);
}

void DispatchQueue::asyncBarrier(Block block) {
  // On a serial queue every block is already exclusive.
  state_->enqueue(std::move(block), kind_ == Kind::concurrent);
}

void DispatchQueue::sync(Block block) { runAndWait(std::move(block), false); }

void DispatchQueue::syncBarrier(Block block) {
  runAndWait(std::move(block), kind_ == Kind::concurrent);
}

void DispatchQueue::runAndWait(Block block, bool barrier) {
  // A block of this queue waiting for a later one would never see it run.
  if (state_->isCurrent()) {
    block();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  state_->enqueue(
      [&block, &done] {
        block();
        done.set_value();
      },
      barrier);
  finished.wait();
}

void DispatchQueue::asyncAfter(std::chrono::milliseconds delay, Block block) {
  Scheduler::shared().schedule(MonotonicClock::now() + delay,
                               [self = shared_from_this(), block = std::move(block)]() mutable {
                                 self->async(std::move(block));
                               });
}

bool DispatchQueue::isCurrent() const {
  return state_->isCurrent();
}

void DispatchQueue::drain() {
  // A barrier after everything queued so far; on a serial queue any block does.
  if (isCurrent())
    return;
  syncBarrier([] {});
  if (kind_ == Kind::concurrent) {
    std::unique_lock lock(state_->mutex);
    state_->idle.wait(lock, [this] { return state_->running == 0 && state_->items.empty(); });
  }
}

void DispatchQueue::enqueue(Block block, bool barrier) {
  state_->enqueue(std::move(block), barrier);
}

}  // namespace ombrelia::platform
