#include "sources.h"

#include "terminal.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

namespace seekpat_cli {

namespace {

const char stdin_name[] = "(standard input)";

// File systems whose files report a size that is not what reading them gives (a page, or 0).
bool size_is_made_up(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0)
    return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
  case PROC_SUPER_MAGIC:
  case SYSFS_MAGIC:
  case DEBUGFS_MAGIC:
  case TRACEFS_MAGIC:
  case SECURITYFS_MAGIC:
  case CGROUP_SUPER_MAGIC:
  case CGROUP2_SUPER_MAGIC:
  case EFIVARFS_MAGIC:
  case BPF_FS_MAGIC: return true;
  default: return false;
  }
}

// The file mapped while a mapped search runs, and whether a page of it was found gone (the file
// shrank). A load from a page past a file's new end raises SIGBUS: the handler puts a page of
// zeros there instead, notes it, and the load retries, so the search ends and the change is
// reported. A fault anywhere else takes the default action.
std::atomic<std::uintptr_t> mapped_lo{0}, mapped_hi{0};
std::atomic<bool> mapped_lost{false};

void on_sigbus(int sig, siginfo_t* info, void*) {
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  if (at >= mapped_lo.load() && at < mapped_hi.load() &&
      mmap(reinterpret_cast<void*>(at & ~(page - 1)), page, PROT_READ,
           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
    mapped_lost = true;
    return;
  }
  signal(sig, SIG_DFL); // the load faults again, now with the default action
}

} // namespace

bool open_input(const std::string& arg, const struct stat* output, input* in) {
  in->is_stdin = arg == "-";
  in->name = in->is_stdin ? stdin_name : arg;
  in->fd = in->is_stdin ? 0 : open(arg.c_str(), O_RDONLY | O_CLOEXEC);
  int error = in->fd < 0 ? errno : fstat(in->fd, &in->st) != 0 ? errno : 0;
  if (error == 0 && S_ISDIR(in->st.st_mode))
    error = EISDIR;
  if (error) {
    complain(in->name + ": " + std::strerror(error));
    close_input(*in, 0);
    return false;
  }
  const bool regular = S_ISREG(in->st.st_mode);
  if (regular && output && in->st.st_dev == output->st_dev && in->st.st_ino == output->st_ino) {
    complain(in->name + ": input file is also the output");
    close_input(*in, 0);
    return false;
  }
  in->fifo = S_ISFIFO(in->st.st_mode);
  in->sized = regular && !size_is_made_up(in->fd);
  if (in->sized) {
    // Standard input may stand anywhere in its file: what is before it is not this input's.
    const off_t at = in->is_stdin ? lseek(in->fd, 0, SEEK_CUR) : 0;
    in->start = at > 0 ? static_cast<std::uint64_t>(at) : 0;
    const auto end = static_cast<std::uint64_t>(in->st.st_size);
    in->size = end > in->start ? end - in->start : 0;
    posix_fadvise(in->fd, static_cast<off_t>(in->start), 0, POSIX_FADV_SEQUENTIAL);
  }
  if (in->fifo)
    fcntl(in->fd, F_SETPIPE_SZ, 1 << 20); // a hint: errors ignored
  return true;
}

void close_input(input& in, std::uint64_t consumed) {
  if (in.is_stdin) {
    if (consumed)
      lseek(in.fd, static_cast<off_t>(in.start + consumed), SEEK_SET);
  } else if (in.fd >= 0) {
    close(in.fd);
  }
  in.fd = -1;
}

bool changed_since_open(const input& in, std::uint64_t* at_end) {
  struct stat now;
  if (fstat(in.fd, &now) != 0) {
    *at_end = in.size;
    return false;
  }
  const auto end = static_cast<std::uint64_t>(now.st_size);
  *at_end = end > in.start ? end - in.start : 0;
  return *at_end != in.size || now.st_mtim.tv_sec != in.st.st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != in.st.st_mtim.tv_nsec;
}

bool with_mapping(const input& in, bool* lost, void (*search)(void*, const char*), void* ctx) {
  // Mappings start on a page: standard input's bytes may begin inside one.
  const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  const std::uint64_t skip = in.start % page, len = in.size + skip;
  if (len != static_cast<std::size_t>(len))
    return false;
  void* m = mmap(nullptr, static_cast<std::size_t>(len), PROT_READ, MAP_SHARED, in.fd,
                 static_cast<off_t>(in.start - skip));
  if (m == MAP_FAILED)
    return false;
  madvise(m, static_cast<std::size_t>(len), MADV_SEQUENTIAL); // advice only: errors ignored
  struct sigaction sa = {}, old = {};
  sa.sa_sigaction = on_sigbus;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  mapped_lost = false;
  mapped_lo = reinterpret_cast<std::uintptr_t>(m);
  mapped_hi = reinterpret_cast<std::uintptr_t>(m) + len;
  sigaction(SIGBUS, &sa, &old);
  struct restore { // also when search throws
    const struct sigaction& old;
    void* m;
    std::size_t len;
    ~restore() {
      sigaction(SIGBUS, &old, nullptr);
      mapped_lo = mapped_hi = 0;
      munmap(m, len);
    }
  } guard{old, m, static_cast<std::size_t>(len)};
  search(ctx, static_cast<const char*>(m) + skip);
  *lost = mapped_lost;
  return true;
}

char* read_block::get(std::size_t want, std::size_t* got) {
  if (size_ < want) {
    buf_.reset();
    size_ = 0;
    for (std::size_t ask = want; !buf_ && ask >= 4096; ask /= 2) {
      buf_.reset(new (std::nothrow) char[ask]);
      size_ = buf_ ? ask : 0;
    }
    if (!buf_)
      throw std::bad_alloc();
  }
  *got = size_ < want ? size_ : want;
  return buf_.get();
}

std::size_t block_size_for(const input& in) {
  if (!in.sized)
    return 256u << 10;
  const std::uint64_t most = 32u << 20, least = 64u << 10;
  return static_cast<std::size_t>(in.size < least ? least : in.size < most ? in.size + 1 : most);
}

long read_some(const input& in, char* buf, std::size_t cap, void (*idle)(void*), void* ctx) {
  std::size_t got = 0;
  while (got < cap) {
    if (!in.sized && got == 0 && idle) { // waiting on a stream: say so first
      struct pollfd pf = {in.fd, POLLIN, 0};
      if (poll(&pf, 1, 0) == 0)
        idle(ctx);
    }
    const ssize_t k = read(in.fd, buf + got, cap - got);
    if (k < 0 && errno == EINTR)
      continue;
    if (k < 0)
      return got ? static_cast<long>(got) : -1; // the error comes again on the next read
    if (k == 0)
      break;
    got += static_cast<std::size_t>(k);
    if (!in.sized) { // more only where it is there already: a stream is never waited on here
      struct pollfd pf = {in.fd, POLLIN, 0};
      if (poll(&pf, 1, 0) != 1 || !(pf.revents & POLLIN))
        break;
    }
  }
  return static_cast<long>(got);
}

} // namespace seekpat_cli
