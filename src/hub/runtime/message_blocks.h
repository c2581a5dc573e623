#pragma once
// The hub's asynchronous message blocks: targets, sources and the links between them.
//
//   sender --send--> unbounded_buffer --offer--> call / transformer --run on pool--> action
//                    (FIFO queue, targets          (own queue, one message at a time,
//                     offered in link order)         arrival order, on the shared pool)
//
// A source offers each message to its targets in link order; the first one that accepts takes it.
// An unbounded_buffer keeps a message that every target declines at the head of its queue and
// offers it again (followed by the rest) when the next message arrives or a target is linked.
// Offers run on the sender's thread under the source's lock; a target's offer only decides and
// queues, it never runs an action, so offers never wait on actions.
//
// Actions and transformer functions run on one process-wide pool (RuntimePool), one message at a
// time per block, in arrival order. Destroying a block unlinks it from its sources and targets,
// drops the messages it has not started and waits until its running action has returned.
//
// Lock order: LinkMutex() (topology changes) -> a source's lock -> a target's queue lock.

#include <asio/thread_pool.hpp>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tessamer {

// The shared pool that runs message-block actions and timers. Agents and tasks never run here.
asio::thread_pool& RuntimePool();

namespace detail {
class SourceBase;

// Serialises changes of the link topology (link, unlink, destruction of a linked block).
std::mutex& LinkMutex();

// Book-keeping every target has: which sources are linked to it.
class TargetBase {
 public:
  TargetBase() = default;
  TargetBase(const TargetBase&) = delete;
  TargetBase& operator=(const TargetBase&) = delete;

 protected:
  ~TargetBase();
  // Unlinks this target from every source that offers to it; after it returns no source offers
  // to it any more. Derived blocks call it first thing in their destructors.
  void UnlinkFromSources();

 private:
  friend class SourceBase;
  std::vector<SourceBase*> sources;  // guarded by LinkMutex()
};

class SourceBase {
 public:
  SourceBase() = default;
  SourceBase(const SourceBase&) = delete;
  SourceBase& operator=(const SourceBase&) = delete;

 protected:
  ~SourceBase() = default;
  // Records the two-way link; the caller holds LinkMutex().
  void AddLinkLocked(TargetBase* target);
  // Forgets every target; the caller holds LinkMutex().
  void RemoveAllLinksLocked();
  // Removes `target` from this source's own list; called with LinkMutex() held.
  virtual void DropTargetLocked(TargetBase* target) = 0;

 private:
  friend class TargetBase;
  std::vector<TargetBase*> linked;  // guarded by LinkMutex()
};

// Runs queued work items of one block on the pool, one at a time, in order.
// Threads: Post from any thread; Close from the owner's destructor.
class SerialRunner {
 public:
  SerialRunner() = default;
  SerialRunner(const SerialRunner&) = delete;
  SerialRunner& operator=(const SerialRunner&) = delete;
  ~SerialRunner() { Close(); }

  // Queues `work`; false when the runner is closed.
  bool Post(std::function<void()> work);
  // Drops work not yet started and waits until the running item has returned. Never call it
  // from one of this runner's own items.
  void Close();

 private:
  void Drain();

  std::mutex mutex;
  std::condition_variable idle;
  std::deque<std::function<void()>> queue;  // guarded by mutex
  bool running = false;                     // a drain job is scheduled or running
  bool closed = false;
};
}  // namespace detail

// The receiving side of a block.
// Threads: offer is called from any thread, possibly several at once.
template <typename T>
class ITarget : public detail::TargetBase {
 public:
  virtual ~ITarget() = default;
  // Offers a message. True when the target took its own copy; false when it declined.
  virtual bool offer(const T& message) = 0;
};

// Synchronous send: returns once the target has accepted (true) or declined (false) a copy.
template <typename T>
bool send(ITarget<T>& target, const T& value) {
  return target.offer(value);
}
template <typename T>
bool send(ITarget<T>* target, const T& value) {
  return target != nullptr && target->offer(value);
}
template <typename T>
bool send(const std::shared_ptr<ITarget<T>>& target, const T& value) {
  return target != nullptr && target->offer(value);
}

namespace detail {
// The offering side of a block: its targets in link order and the messages none has taken yet.
// Threads: every operation from any thread.
template <typename T>
class SourceLinks : public SourceBase {
 public:
  explicit SourceLinks(bool keepDeclined) : keepDeclined(keepDeclined) {}
  ~SourceLinks() { UnlinkTargets(); }

  void LinkTarget(ITarget<T>* target) {
    std::lock_guard topology(LinkMutex());
    std::lock_guard lock(mutex);
    AddLinkLocked(target);
    targets.push_back(target);
    OfferPendingLocked();
  }

  void UnlinkTargets() {
    std::lock_guard topology(LinkMutex());
    std::lock_guard lock(mutex);
    RemoveAllLinksLocked();
    targets.clear();
  }

  // Queues a message and offers what is queued, in order.
  void Push(const T& message) {
    std::lock_guard lock(mutex);
    pending.push_back(message);
    OfferPendingLocked();
  }

  size_t PendingCount() const {
    std::lock_guard lock(mutex);
    return pending.size();
  }

 protected:
  void DropTargetLocked(TargetBase* target) override {
    std::lock_guard lock(mutex);
    std::erase_if(targets, [target](ITarget<T>* t) { return t == target; });
  }

 private:
  void OfferPendingLocked() {
    while (!pending.empty()) {
      bool taken = false;
      for (ITarget<T>* target : targets) {
        if (target->offer(pending.front())) {
          taken = true;
          break;
        }
      }
      if (!taken && keepDeclined) return;
      pending.pop_front();
    }
  }

  const bool keepDeclined;
  mutable std::mutex mutex;
  std::vector<ITarget<T>*> targets;  // link order; guarded by mutex (changed under LinkMutex too)
  std::deque<T> pending;             // guarded by mutex
};
}  // namespace detail

// First-in first-out buffer. Each message goes to exactly one target, offered in link order; a
// message that every target declines stays at the head and is offered again (before the later
// ones) when the next message arrives or a target is linked.
// Threads: any; several senders at once keep one total order.
template <typename T>
class unbounded_buffer final : public ITarget<T> {
 public:
  unbounded_buffer() = default;
  ~unbounded_buffer() override { this->UnlinkFromSources(); }

  bool offer(const T& message) override {
    links.Push(message);
    return true;
  }
  void link_target(ITarget<T>* target) { links.LinkTarget(target); }
  void link_target(ITarget<T>& target) { links.LinkTarget(&target); }
  void unlink_targets() { links.UnlinkTargets(); }
  // Messages held because no target has taken them.
  size_t size() const { return links.PendingCount(); }

 private:
  detail::SourceLinks<T> links{true};
};

// Holds the newest message and offers each message sent in to its linked target (in link order,
// until one accepts; a declined message is not kept for later).
// Threads: any.
template <typename T>
class overwrite_buffer final : public ITarget<T> {
 public:
  overwrite_buffer() = default;
  ~overwrite_buffer() override { this->UnlinkFromSources(); }

  bool offer(const T& message) override {
    std::lock_guard lock(mutex);
    value = message;
    links.Push(message);
    return true;
  }
  void link_target(ITarget<T>* target) { links.LinkTarget(target); }
  void link_target(ITarget<T>& target) { links.LinkTarget(&target); }
  void unlink_targets() { links.UnlinkTargets(); }
  bool has_value() const {
    std::lock_guard lock(mutex);
    return value.has_value();
  }
  // The newest message; only when has_value().
  T get() const {
    std::lock_guard lock(mutex);
    return *value;
  }

 private:
  mutable std::mutex mutex;  // guards value; held while offering so offers keep their order
  std::optional<T> value;
  detail::SourceLinks<T> links{false};
};

// Runs an action for every accepted message, one message at a time, in arrival order, on the
// pool. The optional filter is asked when a message is offered and decides acceptance.
// Threads: offer from any thread; the action and the filter must be safe to run on pool threads
// (the filter on the offering thread, the action on a pool thread).
template <typename T>
class call final : public ITarget<T> {
 public:
  using Action = std::function<void(const T&)>;
  using Filter = std::function<bool(const T&)>;

  explicit call(Action action, Filter filter = {})
      : action(std::move(action)), filter(std::move(filter)) {}
  ~call() override {
    this->UnlinkFromSources();
    runner.Close();
  }

  bool offer(const T& message) override {
    if (filter && !filter(message)) return false;
    return runner.Post([this, message] { action(message); });
  }
  // Runs `work` on the pool in the action's turn, after every message accepted before it; false
  // once the block is being destroyed. Work the block drops or refuses is destroyed unrun.
  bool post_after(std::function<void()> work) { return runner.Post(std::move(work)); }

 private:
  const Action action;
  const Filter filter;
  detail::SerialRunner runner;
};

// Turns each message into another with a function, one message at a time, in order, on the pool,
// and offers each result to its target (kept, like an unbounded_buffer, while none accepts).
// Threads: as for call.
template <typename In, typename Out>
class transformer final : public ITarget<In> {
 public:
  using Function = std::function<Out(const In&)>;

  explicit transformer(Function function, ITarget<Out>* target = nullptr)
      : function(std::move(function)) {
    if (target != nullptr) link_target(target);
  }
  ~transformer() override {
    this->UnlinkFromSources();
    runner.Close();
    output.UnlinkTargets();
  }

  bool offer(const In& message) override {
    return runner.Post([this, message] { output.Push(function(message)); });
  }
  // As call::post_after.
  bool post_after(std::function<void()> work) { return runner.Post(std::move(work)); }
  void link_target(ITarget<Out>* target) { output.LinkTarget(target); }
  void link_target(ITarget<Out>& target) { output.LinkTarget(&target); }
  void unlink_targets() { output.UnlinkTargets(); }

 private:
  const Function function;
  detail::SourceLinks<Out> output{true};
  detail::SerialRunner runner;
};

}  // namespace tessamer
