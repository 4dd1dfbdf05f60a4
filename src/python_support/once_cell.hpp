#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace vorn::detail {

// A process-wide value filled at most once, by a step that may fail and may
// run Python code. A thread holding the interpreter lock never blocks on the
// cell: it detaches from the interpreter before claiming or waiting, and the
// thread that claims the cell re-attaches before running the step. A failed
// step empties the cell again so that a later caller retries. A filled cell
// is read with one atomic load.
template <class T>
class OnceCell {
 public:
  const T* get() const noexcept {
    return state_.load(std::memory_order_acquire) == State::kFilled ? &*value_
                                                                    : nullptr;
  }

  // `init` runs with the interpreter lock held and returns std::optional<T>:
  // nullopt (with a Python error set) when it failed. Returns the value, or
  // null with a Python error set: this call's step failed, or the step
  // re-entered the cell on its own thread.
  // Faults thrown by `init` empty the cell and propagate.
  template <class Init>
  const T* get_or_try_init(Init&& init) {
    if (const T* value = get()) return value;
    PyThreadState* thread = PyEval_SaveThread();
    std::unique_lock lock(mutex_);
    for (;;) {
      State state = state_.load(std::memory_order_acquire);
      if (state == State::kFilled) {
        lock.unlock();
        PyEval_RestoreThread(thread);
        return &*value_;
      }
      if (state == State::kEmpty) break;
      if (filler_ == std::this_thread::get_id()) {
        // The step itself came back here (its Python code used the module
        // again): waiting would never end.
        lock.unlock();
        PyEval_RestoreThread(thread);
        PyErr_SetString(PyExc_RuntimeError,
                        "vorn: re-entered while initialising process-wide "
                        "state on this thread");
        return nullptr;
      }
      filled_.wait(lock);
    }
    state_.store(State::kFilling, std::memory_order_relaxed);
    filler_ = std::this_thread::get_id();
    lock.unlock();
    PyEval_RestoreThread(thread);

    std::optional<T> made;
    try {
      made = init();
    } catch (...) {
      finish(std::nullopt);
      throw;
    }
    const bool ok = made.has_value();
    finish(std::move(made));
    return ok ? &*value_ : nullptr;
  }

 private:
  enum class State { kEmpty, kFilling, kFilled };

  void finish(std::optional<T> made) {
    // Taking the mutex while attached is safe: no holder of the mutex ever
    // waits for the interpreter lock while holding it.
    std::lock_guard lock(mutex_);
    filler_ = std::thread::id();
    if (made) {
      value_ = std::move(made);
      state_.store(State::kFilled, std::memory_order_release);
    } else {
      state_.store(State::kEmpty, std::memory_order_release);
    }
    filled_.notify_all();
  }

  std::atomic<State> state_{State::kEmpty};
  std::optional<T> value_;  // engaged exactly when state_ is kFilled
  std::mutex mutex_;
  std::thread::id filler_;  // the thread running the step, under mutex_
  std::condition_variable filled_;
};

}  // namespace vorn::detail
