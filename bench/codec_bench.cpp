// The per-block cost on the sending thread: packing and the CRC of one 4096-byte block, and
// building the whole Write-block frame; and the dispatcher's side of a read: unpacking.
#include <benchmark/benchmark.h>

#include <vector>

#include "protocol/codec.h"
#include "protocol/frames.h"

namespace {

std::vector<uint8_t> Block(size_t n) {
  std::vector<uint8_t> data(n);
  uint32_t x = 12345;
  for (auto& b : data) b = uint8_t(x = x * 1103515245u + 12345u);
  return data;
}

void BM_CrcBlock(benchmark::State& state) {
  const auto data = Block(size_t(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(r9::CrcBlock(data.data(), data.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CrcBlock)->Arg(4)->Arg(4096)->Arg(16383);

void BM_Pack7(benchmark::State& state) {
  const auto data = Block(size_t(state.range(0)));
  std::vector<uint8_t> out(r9::PackedLength(data.size()));
  for (auto _ : state) benchmark::DoNotOptimize(r9::Pack7(out.data(), data.data(), data.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Pack7)->Arg(4096)->Arg(16383);

// What the sender does per block before the frame goes out: pack the data and compute its CRC.
void BM_PackAndCrc(benchmark::State& state) {
  const auto data = Block(size_t(state.range(0)));
  std::vector<uint8_t> out(r9::PackedLength(data.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(r9::Pack7(out.data(), data.data(), data.size()));
    benchmark::DoNotOptimize(r9::CrcBlock(data.data(), data.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_PackAndCrc)->Arg(4096);

void BM_Unpack7(benchmark::State& state) {
  const auto data = Block(size_t(state.range(0)));
  std::vector<uint8_t> packed(r9::PackedLength(data.size())), out(data.size());
  r9::Pack7(packed.data(), data.data(), data.size());
  for (auto _ : state) benchmark::DoNotOptimize(r9::Unpack7(out.data(), packed.data(), packed.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Unpack7)->Arg(4096)->Arg(16383);

void BM_BuildWriteBlock(benchmark::State& state) {
  const auto data = Block(4096);
  std::vector<uint8_t> frame(r9::WriteBlockLength(4096));
  for (auto _ : state) benchmark::DoNotOptimize(r9::BuildWriteBlock(frame.data(), 0x3A, data.data(), 0x66000, 4096));
  state.SetBytesProcessed(int64_t(state.iterations()) * 4096);
}
BENCHMARK(BM_BuildWriteBlock);

}  // namespace
