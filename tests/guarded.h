// Buffers that end right before an inaccessible page, so that reading or writing even one byte
// past their end faults instead of passing unnoticed.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>

class guarded_buffer {
public:
  // n usable bytes ending at a PROT_NONE page; the `front` bytes before them (at least 64, so
  // canaries fit) belong to the same mapping and are filled with `canary`.
  explicit guarded_buffer(std::size_t n, unsigned char canary = 0xA5) : n_(n), canary_(canary) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t body = (n + front + page_ - 1) / page_ * page_;
    len_ = body + page_;
    void* m = mmap(nullptr, len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED)
      throw std::runtime_error("mmap failed");
    base_ = static_cast<unsigned char*>(m);
    if (mprotect(base_ + body, page_, PROT_NONE) != 0)
      throw std::runtime_error("mprotect failed");
    data_ = base_ + body - n;
    std::memset(base_, canary_, body - n);
  }
  ~guarded_buffer() { munmap(base_, len_); }
  guarded_buffer(const guarded_buffer&) = delete;
  guarded_buffer& operator=(const guarded_buffer&) = delete;

  char* data() { return reinterpret_cast<char*>(data_); }
  std::size_t size() const { return n_; }
  // True while every byte between the mapping's start and data() still holds the canary.
  bool front_intact() const {
    for (const unsigned char* q = base_; q < data_; ++q)
      if (*q != canary_)
        return false;
    return true;
  }

  static constexpr std::size_t front = 64;

private:
  std::size_t n_, page_, len_;
  unsigned char canary_;
  unsigned char* base_;
  unsigned char* data_;
};
