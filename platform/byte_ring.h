// A lock-free ring of bytes between exactly one producer thread and one consumer thread.
//
// The real-time side of a MIDI server's process callback may neither lock nor allocate, so the
// messages that cross between it and the program's own threads go through this ring: a write
// or a read is a copy and one atomic store. The storage is allocated once, at construction.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace r9 {

class ByteRing {
 public:
  // capacity is rounded up to a power of two; that many bytes fit at once.
  explicit ByteRing(size_t capacity);
  ByteRing(const ByteRing&) = delete;
  ByteRing& operator=(const ByteRing&) = delete;

  size_t Capacity() const { return mask_ + 1; }

  // Producer side. Write stores all length bytes or, when they do not fit, none of them.
  size_t WriteSpace() const;
  bool Write(const void* bytes, size_t length);

  // Consumer side. Peek copies up to length of the oldest bytes without consuming them;
  // Consume drops count of them (at most ReadSpace()); Read does both.
  size_t ReadSpace() const;
  size_t Peek(void* bytes, size_t length) const;
  void Consume(size_t count);
  size_t Read(void* bytes, size_t length);

 private:
  const size_t mask_;
  const std::unique_ptr<uint8_t[]> data_;
  // Free-running positions; the difference is the fill. Each is written by one side only.
  alignas(64) std::atomic<size_t> writePos_{0};
  alignas(64) std::atomic<size_t> readPos_{0};
};

}  // namespace r9
