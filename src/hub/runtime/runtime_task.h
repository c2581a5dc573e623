#pragma once
// A task: a body that runs once on a thread of its own, with a result (or the exception it
// raised) that can be waited for and taken, and an optional continuation that runs after it.
//
//   create_task(body) --thread--> body --> result or exception --> continuation(task)
//
// The continuation receives the finished task and takes its outcome with get, which raises what
// the body raised. It runs on the thread that finished the body, or on a new thread when it is
// attached after the body has finished; never on the thread that attaches it.
//
// Threads: a handle is a shared reference; copies may be used from different threads. The last
// reference to a task waits for its thread to end (unless it is that thread).

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

namespace tessamer {

// Raised by get on a handle that has no task.
class task_canceled : public std::runtime_error {
 public:
  task_canceled() : std::runtime_error("task canceled") {}
};

template <typename R>
class task;

namespace detail {
template <typename R>
struct TaskValue {
  using type = R;
};
template <>
struct TaskValue<void> {
  using type = std::monostate;
};

template <typename R>
struct TaskState {
  TaskState() = default;
  TaskState(const TaskState&) = delete;
  TaskState& operator=(const TaskState&) = delete;
  ~TaskState() {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // the thread itself let go of the last reference; it ends right after
    } else {
      thread.join();
    }
  }

  template <typename F>
  void Run(F& body) {
    try {
      if constexpr (std::is_void_v<R>) {
        body();
        value.emplace();
      } else {
        value.emplace(body());
      }
    } catch (...) {
      error = std::current_exception();
    }
    Finish();
  }

  void Finish() {
    std::function<void()> continuation;
    {
      std::lock_guard lock(mutex);
      finished = true;
      continuation = std::move(next);
      next = nullptr;
      done.notify_all();
    }
    if (continuation) continuation();
  }

  void Wait() {
    std::unique_lock lock(mutex);
    done.wait(lock, [this] { return finished; });
  }

  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;                            // guarded by mutex
  std::optional<typename TaskValue<R>::type> value;  // written before finished is set
  std::exception_ptr error;                         // written before finished is set
  std::function<void()> next;                       // guarded by mutex; run once, then cleared
  std::thread thread;                               // the body's own thread, if it has one
};
}  // namespace detail

template <typename R>
class task {
 public:
  task() = default;

  // Starts `body` on a thread of its own.
  template <typename F>
    requires std::is_invocable_v<F&>
  explicit task(F body) : state(std::make_shared<detail::TaskState<R>>()) {
    state->thread = std::thread([s = state, body = std::move(body)]() mutable { s->Run(body); });
  }

  bool valid() const { return state != nullptr; }

  // Attaches a continuation, called with this task once it has finished. Its result is the
  // result of the returned task.
  template <typename F>
  auto then(F continuation) const -> task<std::invoke_result_t<F, task<R>>> {
    using U = std::invoke_result_t<F, task<R>>;
    if (!state) throw task_canceled();
    auto nextState = std::make_shared<detail::TaskState<U>>();
    std::function<void()> body = [nextState, self = *this,
                                  continuation = std::move(continuation)]() mutable {
      auto call = [&]() -> U { return continuation(self); };
      nextState->Run(call);
    };
    std::unique_lock lock(state->mutex);
    if (!state->finished) {
      state->next = std::move(body);
    } else {
      lock.unlock();
      std::thread starter(std::move(body));
      std::lock_guard nextLock(nextState->mutex);
      nextState->thread = std::move(starter);
    }
    return task<U>(nextState);
  }

  // Waits until the body (not its continuation) has finished.
  void wait() const {
    if (!state) throw task_canceled();
    state->Wait();
  }

  bool is_done() const {
    if (!state) return false;
    std::lock_guard lock(state->mutex);
    return state->finished;
  }

  // Waits, then gives the result or raises what the body raised.
  R get() const {
    wait();
    if (state->error) std::rethrow_exception(state->error);
    if constexpr (!std::is_void_v<R>) return *state->value;
  }

 private:
  template <typename>
  friend class task;
  explicit task(std::shared_ptr<detail::TaskState<R>> state) : state(std::move(state)) {}

  std::shared_ptr<detail::TaskState<R>> state;
};

// Starts `body` on a thread of its own and returns its task.
template <typename F>
auto create_task(F body) -> task<std::invoke_result_t<F>> {
  return task<std::invoke_result_t<F>>(std::move(body));
}

}  // namespace tessamer
