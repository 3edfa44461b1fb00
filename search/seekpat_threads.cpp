// seekpat's threads: helpers started on first need and kept, blocked, for the calls after it.
//
// Starting a thread costs the caller 20-50 us here and the thread starts running 50-90 us later;
// waking a kept one costs the caller 3-20 us and it runs 25-50 us later. On 8 MB, a call of
// 170-210 us, that difference decides whether a second thread pays.
#include "seekpat_internal.h"

#include <emmintrin.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace seekpat_internal {
namespace {

// One call's shares: each is claimed once, by the caller or by a helper, whichever comes first,
// so a helper that wakes late finds less or nothing to do and the caller never waits for it.
struct job {
  void (*run)(void*, std::size_t);
  void* ctx;
  std::size_t shares;
  std::atomic<std::size_t> next{0};   // the next share to claim
  std::size_t seats;                  // helpers that may still join (under crew::m_)
  std::atomic<std::size_t> aboard{0}; // helpers that joined and have not left

  void work() noexcept {
    for (std::size_t s; (s = next.fetch_add(1, std::memory_order_relaxed)) < shares;)
      run(ctx, s);
  }
};

// The helpers, serving one call at a time. Never destroyed: they stay blocked on its members
// until the process ends, and destroying a condition variable they wait on would block exit.
class crew {
public:
  // Runs j on the caller and up to `helpers` helpers; false, running nothing, where another
  // call holds the crew.
  bool run(job& j, std::size_t helpers) noexcept {
    if (!busy_.try_lock())
      return false;
    {
      std::lock_guard<std::mutex> l(m_);
      grow(helpers);
      j.seats = helpers;
      current_ = &j;
    }
    if (helpers == 1)
      wake_.notify_one();
    else if (helpers > 1)
      wake_.notify_all();
    j.work();
    {
      std::lock_guard<std::mutex> l(m_);
      current_ = nullptr; // no helper joins from here on
    }
    // A helper still aboard is finishing its last share, most often a piece of a few
    // microseconds: waiting for it spinning, for up to some 30 us (a pause takes about 60
    // cycles), costs less than being woken (25-50 us).
    for (int spin = 0; spin < (1 << 11) && j.aboard.load(std::memory_order_acquire); ++spin)
      _mm_pause();
    if (j.aboard.load(std::memory_order_acquire)) {
      std::unique_lock<std::mutex> l(m_);
      left_.wait(l, [&] { return j.aboard.load(std::memory_order_acquire) == 0; });
    }
    busy_.unlock();
    return true;
  }

private:
  // Starts helpers until there are `want`, or until one cannot be started: then the calls go
  // on with those there are. Needs m_.
  void grow(std::size_t want) noexcept {
    if (started_ >= want)
      return;
    // Helpers take no signal: the process's handlers run on its own threads, as they would
    // without this library.
    sigset_t all, old;
    sigfillset(&all);
    if (pthread_sigmask(SIG_SETMASK, &all, &old) != 0)
      return;
    for (; started_ < want; ++started_) {
      try {
        std::thread(&crew::serve, this).detach();
      } catch (...) { // std::system_error or std::bad_alloc: fewer helpers
        break;
      }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  void serve() noexcept {
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
      wake_.wait(l, [&] { return current_ && current_->seats > 0; });
      job& j = *current_;
      --j.seats;
      j.aboard.fetch_add(1, std::memory_order_relaxed);
      l.unlock();
      j.work();
      l.lock();
      // The last access to j: once aboard reaches 0, the caller may return and j be gone.
      if (j.aboard.fetch_sub(1, std::memory_order_acq_rel) == 1)
        left_.notify_one();
    }
  }

  std::mutex busy_;                     // held by the call the crew serves
  std::mutex m_;                        // guards current_, started_ and job::seats
  std::condition_variable wake_, left_; // a job is there; the last helper has left
  job* current_ = nullptr;
  std::size_t started_ = 0;
};

std::atomic<crew*> the_crew{nullptr};

crew* get_crew() noexcept {
  crew* c = the_crew.load(std::memory_order_acquire);
  if (c)
    return c;
  c = new (std::nothrow) crew;
  if (!c)
    return nullptr;
  crew* expected = nullptr;
  if (!the_crew.compare_exchange_strong(expected, c, std::memory_order_acq_rel)) {
    delete c; // another thread's crew won; this one never started a helper
    return expected;
  }
  // A child of fork has none of the helpers: it gets a crew of its own on first need, and the
  // parent's, whose mutexes may have been held by a thread that did not follow, is left alone.
  static const int registered =
      pthread_atfork(nullptr, nullptr, [] { the_crew.store(nullptr, std::memory_order_relaxed); });
  (void)registered;
  return c;
}

} // namespace

std::size_t hardware_threads() {
  static const std::size_t k = std::max(1u, std::thread::hardware_concurrency());
  return k;
}

bool run_shares_kept(std::size_t shares, std::size_t helpers, void (*run)(void*, std::size_t),
                     void* ctx) noexcept {
  crew* c = get_crew();
  if (!c)
    return false;
  job j;
  j.run = run;
  j.ctx = ctx;
  j.shares = shares;
  j.seats = 0;
  return c->run(j, helpers);
}

} // namespace seekpat_internal
