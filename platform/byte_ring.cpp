#include "platform/byte_ring.h"

#include <algorithm>
#include <cstring>

namespace r9 {
namespace {

size_t RoundUpToPowerOfTwo(size_t n) {
  size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

}  // namespace

ByteRing::ByteRing(size_t capacity)
    : mask_(RoundUpToPowerOfTwo(std::max<size_t>(capacity, 1)) - 1), data_(new uint8_t[mask_ + 1]()) {}

size_t ByteRing::WriteSpace() const {
  return Capacity() - (writePos_.load(std::memory_order_relaxed) - readPos_.load(std::memory_order_acquire));
}

bool ByteRing::Write(const void* bytes, size_t length) {
  if (length > WriteSpace()) return false;
  const size_t position = writePos_.load(std::memory_order_relaxed);
  const size_t start = position & mask_;
  const size_t first = std::min(length, Capacity() - start);
  const auto* in = static_cast<const uint8_t*>(bytes);
  std::memcpy(data_.get() + start, in, first);
  std::memcpy(data_.get(), in + first, length - first);
  // The bytes are in place before the consumer can see the new position.
  writePos_.store(position + length, std::memory_order_release);
  return true;
}

size_t ByteRing::ReadSpace() const {
  return writePos_.load(std::memory_order_acquire) - readPos_.load(std::memory_order_relaxed);
}

size_t ByteRing::Peek(void* bytes, size_t length) const {
  const size_t count = std::min(length, ReadSpace());
  const size_t start = readPos_.load(std::memory_order_relaxed) & mask_;
  const size_t first = std::min(count, Capacity() - start);
  auto* out = static_cast<uint8_t*>(bytes);
  std::memcpy(out, data_.get() + start, first);
  std::memcpy(out + first, data_.get(), count - first);
  return count;
}

void ByteRing::Consume(size_t count) {
  count = std::min(count, ReadSpace());
  // The bytes have been copied out before the producer may overwrite them.
  readPos_.store(readPos_.load(std::memory_order_relaxed) + count, std::memory_order_release);
}

size_t ByteRing::Read(void* bytes, size_t length) {
  const size_t count = Peek(bytes, length);
  Consume(count);
  return count;
}

}  // namespace r9
