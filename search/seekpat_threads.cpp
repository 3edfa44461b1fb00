// seekpat's threads: helpers started on first need and kept, blocked, for the calls after it.
//
// Waking a kept thread costs the caller a fraction of what starting one does, and it runs sooner:
// on a text of a few megabytes that difference decides whether a second thread pays
// (docs/design.md, measurements: "Starting and waking threads").
#include "threads.h"

#include <emmintrin.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace seekpat_internal {
namespace {

// One call's shares: each is claimed once, by the caller or by a helper, whichever comes first,
// so a helper that wakes late finds less or nothing to do and the caller never waits for it.
struct job {
  void (*run)(void*, std::size_t);
  void* ctx;
  void (*first)(void*) = nullptr; // the caller's own work before it claims shares
  std::size_t shares;
  std::atomic<std::size_t> next{0};   // the next share to claim
  std::size_t seats;                  // helpers that may still join (under crew::m_)
  std::atomic<std::size_t> aboard{0}; // helpers that joined and have not left
  job* later = nullptr;               // the next open job (under crew::m_)

  void work() noexcept {
    for (std::size_t s; (s = next.fetch_add(1, std::memory_order_relaxed)) < shares;)
      run(ctx, s);
  }
  // Whether a helper joining now would find work.
  bool wants_help() const { return seats > 0 && next.load(std::memory_order_relaxed) < shares; }
};

// The helpers: one set for the whole process, at most one fewer than the hardware threads,
// serving every open job, so that concurrent calls share them rather than start threads of
// their own. Never destroyed: they stay blocked on its members until the process ends, and
// destroying a condition variable they wait on would block exit.
class crew {
public:
  // Runs j on the caller and up to `helpers` helpers, fewer where they serve other calls.
  void run(job& j, std::size_t helpers) noexcept {
    // The waits below are cancellation points inside a noexcept function: a caller cancelled
    // there would end the process. Its cancellation waits until the call is done instead, so no
    // helper is ever left holding its shares.
    int cancel = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel);
    {
      std::lock_guard<std::mutex> l(m_);
      grow(std::min(helpers, hardware_threads() - 1));
      j.seats = helpers;
      j.later = open_;
      open_ = &j;
    }
    if (helpers == 1)
      wake_.notify_one();
    else if (helpers > 1)
      wake_.notify_all();
    if (j.first)
      j.first(j.ctx);
    j.work();
    {
      std::lock_guard<std::mutex> l(m_);
      // No helper joins from here on.
      job** at = &open_;
      while (*at != &j)
        at = &(*at)->later;
      *at = j.later;
    }
    // A helper still aboard is finishing its last share, most often a piece of a few
    // microseconds: waiting for it spinning, for up to some 30 us (a pause takes about 60
    // cycles), costs less than being woken ("Starting and waking threads").
    for (int spin = 0; spin < (1 << 11) && j.aboard.load(std::memory_order_acquire); ++spin)
      _mm_pause();
    if (j.aboard.load(std::memory_order_acquire)) {
      std::unique_lock<std::mutex> l(m_);
      left_.wait(l, [&] { return j.aboard.load(std::memory_order_acquire) == 0; });
    }
    pthread_setcancelstate(cancel, nullptr);
  }

private:
  // Starts helpers until there are `want`, or until one cannot be started: then the calls go
  // on with those there are. Needs m_.
  void grow(std::size_t want) noexcept {
    if (started_ >= want)
      return;
    // Helpers take no signal sent to the process: its handlers run on its own threads, as they
    // would without this library. They inherit this mask, whatever the caller's. The signals of
    // a fault stay open: a helper's own load from a mapped file that shrank raises SIGBUS on that
    // helper, and blocked, it would kill the process whatever handler the process has for it.
    sigset_t all, old;
    sigfillset(&all);
    for (int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL})
      sigdelset(&all, fault);
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

  // The first open job that wants a helper, or null. Needs m_.
  job* open_job() const {
    for (job* j = open_; j; j = j->later)
      if (j->wants_help())
        return j;
    return nullptr;
  }

  void serve() noexcept {
    // Named so that a process's threads say which are ours (top -H, /proc/PID/task/*/comm).
    pthread_setname_np(pthread_self(), "seekpat");
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
      job* j = nullptr;
      wake_.wait(l, [&] { return (j = open_job()) != nullptr; });
      --j->seats;
      j->aboard.fetch_add(1, std::memory_order_relaxed);
      l.unlock();
      j->work();
      l.lock();
      // The last access to j: once aboard reaches 0, its caller may return and j be gone.
      if (j->aboard.fetch_sub(1, std::memory_order_acq_rel) == 1)
        left_.notify_all();
    }
  }

  std::mutex m_;                        // guards open_, started_ and every job's seats and later
  std::condition_variable wake_, left_; // a job wants help; a job's last helper has left
  job* open_ = nullptr;                 // the jobs helpers may still join, newest first
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

void run_shares(std::size_t shares, std::size_t helpers, void (*run)(void*, std::size_t), void* ctx,
                void (*first)(void*)) noexcept {
  job j;
  j.run = run;
  j.ctx = ctx;
  j.first = first;
  j.shares = shares;
  j.seats = 0;
  crew* c = helpers ? get_crew() : nullptr;
  if (c) {
    c->run(j, helpers);
    return;
  }
  if (first) // no crew (out of memory): every share on the calling thread
    first(ctx);
  j.work();
}

} // namespace seekpat_internal
