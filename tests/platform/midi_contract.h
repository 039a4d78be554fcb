// What every emulated MIDI backend promises the port classes, as one table of cases: each
// test program that can make a far end for a backend instantiates it for that backend. A backend
// is driven through CDxMidiIn and CDxMidiOut, as the dialog drives it, with a far end that sends
// in given pieces, records what it received, fails, blocks or goes away.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "midi/dx_midi_in.h"
#include "midi/dx_midi_out.h"
#include "platform/midi_api.h"
#include "tests/platform/wait_until.h"

namespace r9::test {

using Bytes = std::vector<uint8_t>;

// The far end of one port pair of a backend.
class FarEnd {
 public:
  virtual ~FarEnd() = default;
  virtual MidiApi& Api() = 0;
  // Sends to the host, each piece as one write of the device (one read of the host's driver).
  virtual void Send(const std::vector<Bytes>& pieces) = 0;
  // What reached the far end so far, as one byte stream.
  virtual Bytes Received() = 0;
  // From now on every send fails (the device was unplugged).
  virtual void Fail() = 0;
  // From now on the device takes nothing; false where the link cannot be made to.
  virtual bool Block() = 0;
  // The port goes away.
  virtual void Remove() = 0;
};

struct Backend {
  const char* label;
  std::function<std::unique_ptr<FarEnd>()> make;
};

inline void PrintTo(const Backend& b, std::ostream* os) { *os << b.label; }

inline Bytes Frame(size_t length, uint8_t seed = 0) {
  Bytes bytes(length);
  for (size_t i = 1; i + 1 < length; ++i) bytes[i] = uint8_t((i * 13 + seed * 7) & 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

// Pieces of at most size bytes.
inline std::vector<Bytes> Pieces(const Bytes& bytes, size_t size) {
  std::vector<Bytes> pieces;
  for (size_t at = 0; at < bytes.size(); at += size)
    pieces.emplace_back(bytes.begin() + ptrdiff_t(at), bytes.begin() + ptrdiff_t(std::min(at + size, bytes.size())));
  return pieces;
}

class MidiContractTest : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    far_ = GetParam().make();
    in_ = std::make_unique<CDxMidiIn>(far_->Api());
    out_ = std::make_unique<CDxMidiOut>(far_->Api());
  }
  void TearDown() override {
    in_.reset();
    out_.reset();
    far_.reset();
  }
  void OpenBoth() {
    ASSERT_EQ(in_->GetDeviceCount(), 1u);
    ASSERT_EQ(out_->GetDeviceCount(), 1u);
    ASSERT_TRUE(in_->Open(0));
    ASSERT_TRUE(out_->Open(0));
  }
  bool Send(const Bytes& frame) {
    Bytes copy = frame;
    MIDIHDR header;
    header.lpData = reinterpret_cast<char*>(copy.data());
    header.dwBufferLength = uint32_t(copy.size());
    return out_->SendLongMessage(&header);
  }
  // The queue's entries joined, once they hold length bytes (a SysEx longer than the receive
  // buffer comes as several entries).
  Bytes ReceivedByHost(size_t length) {
    Bytes joined;
    WaitUntil([&] {
      size_t size = 0;
      while (const uint8_t* entry = in_->PeekSysEx(&size)) {
        joined.insert(joined.end(), entry, entry + size);
        in_->PopSysEx();
      }
      return joined.size() >= length;
    });
    return joined;
  }

  std::unique_ptr<FarEnd> far_;
  std::unique_ptr<CDxMidiIn> in_;
  std::unique_ptr<CDxMidiOut> out_;
};

// The largest frame of the protocol (a 16,383-byte block: 18,742 bytes) goes out whole, and
// comes in whole from a device that writes it in pieces.
TEST_P(MidiContractTest, TheLargestFrameTravelsWholeEachWay) {
  OpenBoth();
  const Bytes frame = Frame(18742, 1);
  ASSERT_TRUE(Send(frame));
  ASSERT_TRUE(WaitUntil([&] { return far_->Received().size() >= frame.size(); }));
  EXPECT_TRUE(far_->Received() == frame);
  far_->Send(Pieces(frame, 1000));
  EXPECT_TRUE(ReceivedByHost(frame.size()) == frame);
}

TEST_P(MidiContractTest, AMessageSplitOverSeveralReadsArrivesAsOne) {
  OpenBoth();
  const Bytes frame = Frame(20, 2);
  far_->Send({Bytes(frame.begin(), frame.begin() + 3), Bytes(frame.begin() + 3, frame.begin() + 8),
              Bytes(frame.begin() + 8, frame.end())});
  ASSERT_TRUE(WaitUntil([&] { return in_->PeekSysEx() != nullptr; }));
  size_t length = 0;
  const uint8_t* entry = in_->PeekSysEx(&length);
  EXPECT_TRUE(Bytes(entry, entry + length) == frame);
}

// A clock byte inside a SysEx is delivered apart, as a short message; the SysEx arrives without it.
TEST_P(MidiContractTest, RealTimeBytesInsideASysExArriveApart) {
  OpenBoth();
  const Bytes frame = Frame(12, 3);
  Bytes withClock(frame.begin(), frame.begin() + 5);
  withClock.push_back(0xF8);
  withClock.insert(withClock.end(), frame.begin() + 5, frame.end());
  far_->Send({withClock});
  ASSERT_TRUE(WaitUntil([&] { return in_->PeekSysEx() != nullptr; }));
  size_t length = 0;
  const uint8_t* entry = in_->PeekSysEx(&length);
  EXPECT_TRUE(Bytes(entry, entry + length) == frame);
  uint8_t shortMessage[3] = {};
  ASSERT_TRUE(WaitUntil([&] { return in_->ReadShortMessage(shortMessage, 3) > 0; }));
  EXPECT_EQ(shortMessage[0], 0xF8);
}

// A send the link did not take fails, without waiting for the send's own bound.
TEST_P(MidiContractTest, ASendTheLinkRefusesFails) {
  OpenBoth();
  out_->SetSendTimeout(600000);
  far_->Fail();
  EXPECT_FALSE(Send(Frame(40, 4)));
}

// The window's Exit closes the port while a send waits for a device that takes nothing: the
// close returns while the send is still blocked, and the send fails.
TEST_P(MidiContractTest, ACloseDuringABlockedSendReturnsAndTheSendFails) {
  OpenBoth();
  out_->SetSendTimeout(600000);
  if (!far_->Block()) GTEST_SKIP() << "this link cannot be made to take nothing";
  Bytes frame = Frame(40, 5);
  MIDIHDR header;
  header.lpData = reinterpret_cast<char*>(frame.data());
  header.dwBufferLength = uint32_t(frame.size());
  std::atomic<int> sent{-1};
  std::thread sender([&] { sent.store(out_->SendLongMessage(&header) ? 1 : 0); });
  ASSERT_TRUE(WaitUntil([&] { return (header.dwFlags.load() & MHDR_INQUEUE) != 0; }));
  EXPECT_TRUE(out_->Close());
  sender.join();
  EXPECT_EQ(sent.load(), 0);
}

// A port that went away between the listing and the open fails to open, in both directions.
TEST_P(MidiContractTest, APortGoneBetweenListAndOpenFailsToOpen) {
  ASSERT_EQ(in_->GetDeviceCount(), 1u);
  ASSERT_EQ(out_->GetDeviceCount(), 1u);
  far_->Remove();
  EXPECT_FALSE(in_->Open(0));
  EXPECT_FALSE(out_->Open(0));
}

}  // namespace r9::test
