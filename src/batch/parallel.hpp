// Runs native work over the rows of a batch on several threads, with the
// interpreter lock released, and still answers Ctrl-C.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "memory.hpp"
#include "python.hpp"

namespace nuvra::batch {

// Rows are handed out in chunks: small enough that threads share the work
// evenly and the calling thread looks at signals often, large enough that
// handing them out costs nothing.
inline constexpr std::size_t max_chunk_rows = 256;
// How often the calling thread takes the lock back to run signal handlers.
inline constexpr std::chrono::milliseconds signal_interval{100};

// While it lives, the calling thread blocks the signals that arrive from
// outside (Ctrl-C, kill, timers), and the threads it starts inherit the mask:
// such signals then go to the calling thread, which runs the interpreter's
// handlers, and never to a helper deep in a loop. Signals that a fault
// raises stay unblocked.
class ExternalSignalsBlocked {
 public:
  ExternalSignalsBlocked() {
    sigset_t external;
    sigfillset(&external);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&external, fault);
    pthread_sigmask(SIG_BLOCK, &external, &saved_);
  }
  ~ExternalSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  ExternalSignalsBlocked(const ExternalSignalsBlocked&) = delete;
  ExternalSignalsBlocked& operator=(const ExternalSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

// The helper threads of one run. However the run ends, the helpers are told
// to stop and joined before their handles go: a joinable std::thread never
// reaches its destructor (which would call std::terminate). That includes the
// calling thread unwinding out of PyEval_RestoreThread, which ends a thread
// (a daemon thread) that wants the lock back while the interpreter finalises.
// The helpers touch nothing of the interpreter, so joining them needs no lock.
class Helpers {
 public:
  explicit Helpers(std::atomic<bool>& stop) : stop_(stop) {}
  ~Helpers() {
    stop_.store(true, std::memory_order_relaxed);
    join();
  }
  Helpers(const Helpers&) = delete;
  Helpers& operator=(const Helpers&) = delete;

  // Starts a thread running body(); false if none could be started.
  template <class Body>
  bool start(Body body) {
    return allocated([&] { threads_.emplace_back(body); });
  }

  void join() {
    for (std::thread& thread : threads_)
      if (thread.joinable()) {
        try {
          thread.join();
        } catch (const std::system_error&) {
          thread.detach();  // cannot happen for a thread of our own; never terminate for it
        }
      }
  }

 private:
  std::atomic<bool>& stop_;
  std::vector<std::thread> threads_;
};

class ParallelRun {
 public:
  ParallelRun(std::size_t n, std::size_t threads) : n_(n), threads_(std::max<std::size_t>(threads, 1)) {
    chunk_ = std::clamp<std::size_t>(n / (threads_ * 64), 1, max_chunk_rows);
  }

  // Calls work(state, begin, end) over [0, n), each thread with a State of
  // its own; the calling thread is one of them. Returns -1, with the
  // exception set, when a signal handler raised: the other threads stop after
  // the rows in hand. Called with the lock held; returns with it held.
  template <class State, class Work>
  int run(Work work) {
    PyThreadState* saved = PyEval_SaveThread();
    // Declared after `work`, so destroyed (joined) before it.
    Helpers helpers(stop_);
    {
      const ExternalSignalsBlocked blocked;
      for (std::size_t t = 1; t < threads_; ++t) {
        add_running(1);
        const bool started = helpers.start([this, &work] {
          take_rows<State>(work);
          add_running(-1);
        });
        if (!started) {
          add_running(-1);
          break;  // no more threads: the ones started share the rows
        }
      }
    }
    take_rows<State>(work, &saved);
    wait_for_helpers(saved);
    helpers.join();
    PyEval_RestoreThread(saved);
    return interrupted_ ? -1 : 0;
  }

 private:
  template <class State, class Work>
  void take_rows(Work& work, PyThreadState** caller = nullptr) {
    State state;
    while (!stop_.load(std::memory_order_relaxed)) {
      const std::size_t begin = next_.fetch_add(chunk_, std::memory_order_relaxed);
      if (begin >= n_) return;
      work(state, begin, std::min(begin + chunk_, n_));
      if (caller) check_signals(*caller);
    }
  }

  void add_running(int change) {
    std::lock_guard lock(mutex_);
    running_ += change;
    done_.notify_one();
  }

  void wait_for_helpers(PyThreadState*& saved) {
    std::unique_lock lock(mutex_);
    while (running_ != 0) {
      if (done_.wait_for(lock, signal_interval, [this] { return running_ == 0; })) break;
      lock.unlock();
      check_signals(saved);
      lock.lock();
    }
  }

  // Takes the lock back for a moment, at most once per signal_interval.
  void check_signals(PyThreadState*& saved) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check_ < signal_interval || interrupted_) return;
    last_check_ = now;
    PyEval_RestoreThread(saved);
    interrupted_ = PyErr_CheckSignals() < 0;
    saved = PyEval_SaveThread();
    if (interrupted_) stop_.store(true, std::memory_order_relaxed);
  }

  const std::size_t n_, threads_;
  std::size_t chunk_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stop_{false};
  bool interrupted_ = false;  // touched by the calling thread only
  std::chrono::steady_clock::time_point last_check_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::condition_variable done_;
  int running_ = 0;
};

}  // namespace nuvra::batch
