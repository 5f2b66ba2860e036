// A read-only NUL-terminated text longer than any int length, at the cost of
// one block of memory: the block is mapped again and again, back to back, so
// the text occupies gigabytes of addresses but only the block's pages (the
// resident size the kernel reports counts them once per mapping).
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

class HugeText {
 public:
  // `length` bytes 'a', then a NUL.
  explicit HugeText(uint64_t length) : length_(length) {
    int fd = memfd_create("huge_text", 0);
    if (fd < 0 || ftruncate(fd, kBlock) != 0) {
      ADD_FAILURE() << "no memory file for the huge text";
      if (fd >= 0) close(fd);
      return;
    }
    void* block = mmap(nullptr, kBlock, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (block != MAP_FAILED) {
      std::memset(block, 'a', kBlock);
      munmap(block, kBlock);
    }
    mapped_ = (length + 1 + kBlock - 1) / kBlock * kBlock;
    void* base = mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    bool ok = block != MAP_FAILED && base != MAP_FAILED;
    if (!ok) base = nullptr;
    auto* bytes = static_cast<char*>(base);
    for (uint64_t at = 0; ok && at < mapped_; at += kBlock) {
      // The last block is a private copy: only it holds the NUL.
      bool last = at + kBlock >= mapped_;
      int prot = last ? PROT_READ | PROT_WRITE : PROT_READ;
      ok = mmap(bytes + at, kBlock, prot, (last ? MAP_PRIVATE : MAP_SHARED) | MAP_FIXED, fd, 0) != MAP_FAILED;
    }
    close(fd);
    if (!ok) {
      ADD_FAILURE() << "cannot map the huge text";
      if (base) munmap(base, mapped_);
      return;
    }
    bytes[length] = '\0';
    data_ = bytes;
  }
  ~HugeText() {
    if (data_) munmap(const_cast<char*>(data_), mapped_);
  }
  HugeText(const HugeText&) = delete;
  HugeText& operator=(const HugeText&) = delete;

  const char* data() const { return data_; }
  uint64_t size() const { return length_; }

 private:
  static constexpr uint64_t kBlock = uint64_t{1} << 20;
  uint64_t length_;
  uint64_t mapped_ = 0;
  const char* data_ = nullptr;
};
