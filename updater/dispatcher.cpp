// The reply dispatcher and the request/reply handshake.
//
// The device answers asynchronously. Every received SysEx message lands in MidiIn's queue on
// the driver thread; every timer tick drains the queue here, stores the outcome of a reply in
// ReplyStatus (and its data) and signals ReplyEvent, and answers the device's own requests.
// Replies carry no sequence number: whatever comes next ends the worker's current wait.
#include <cstring>

#include "protocol/codec.h"
#include "updater/r9_updater_dlg.h"

namespace r9 {

void CR9UpdaterDlg::OnDispatchTimer(uint32_t, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
  reinterpret_cast<CR9UpdaterDlg*>(user)->DispatchReplies();
}

void CR9UpdaterDlg::DispatchReplies() {
  std::lock_guard<std::mutex> lock(dispatchMutex_);
  for (;;) {
    if (!dispatching_.load()) return;
    size_t length = 0;
    const uint8_t* m = MidiIn.PeekSysEx(&length);
    if (!m) return;
    DispatchOne(m, length);
    MidiIn.PopSysEx();
  }
}

void CR9UpdaterDlg::Signal(int32_t status) {
  ReplyStatus.store(status);
  ReplyEvent_->SetEvent();
}

// Acts on one received message of the given length; never reads past it. A frame too short
// for the offsets its kind examines is dropped, except a Read reply, which ends the wait as a
// failed read.
void CR9UpdaterDlg::DispatchOne(const uint8_t* m, size_t length) {
  if (length < 2 || m[0] != kSysExStart) return;

  if (m[1] == kMakerId) {
    if (length < 5) return;
    switch (m[4]) {
      case kSubStatus:
        if (length >= 6) {
          Record({ReplyKind::kStatus, m[5], 0, {}});
          Signal(m[5]);
        }
        return;
      case kSubEnterUpdate:
      case kSubFinishUpdate:
      case kSubDeviceRequest5:
        SendStatus(kStatusOk);
        return;
      case kSubWriteBlock:  // Acknowledge
        Record({ReplyKind::kAck, 0, 0, {}});
        Signal(0);
        return;
      case kSubDeviceRequest3:
        return;
      case kSubMemory:
        DispatchReadReply(m, length);
        return;
      default:
        SendStatus(kStatusRefused);
        return;
    }
  }

  if (m[1] == kUniversalNonRealTime) {
    if (length < 5 || m[3] != kGeneralInformation) return;
    switch (m[4]) {
      case kIdentityRequestCode: {
        uint8_t reply[kHostIdentityReplyLength];
        SendSysEx(reply, BuildHostIdentityReply(reply));
        return;
      }
      case kIdentityReplyCode:
        if (length < 10) return;
        {
          std::lock_guard<std::mutex> lock(readMutex_);
          std::memcpy(ReplyIdentity.data(), m + 6, 4);
        }
        Record({ReplyKind::kIdentity, 0, 0, {}});
        Signal(0);
        return;
      default:
        SendStatus(kStatusRefused);
        return;
    }
  }
}

void CR9UpdaterDlg::DispatchReadReply(const uint8_t* m, size_t length) {
  if (length < 6) {
    Record({ReplyKind::kRead, 1, 0, {}});
    Signal(1);
    return;
  }
  if (m[5] != kReadReplyMarker) {
    // Not a read reply: ends the wait with the status of the previous reply. Nothing the
    // worker could take as the answer to its request.
    ReplyEvent_->SetEvent();
    return;
  }
  if (length < 11 || m[6] != kReadSelector) {
    Record({ReplyKind::kRead, 1, 0, {}});
    Signal(1);
    return;
  }
  const size_t d = size_t(m[9]) + 128 * size_t(m[10]);
  const size_t p = PackedLength(d);
  // Data, five CRC groups; the closing F7 is not looked for.
  if (length < 11 + p + 5) {
    Record({ReplyKind::kRead, 1, uint32_t(d), {}});
    Signal(1);
    return;
  }
  int32_t status = 1;
  Reply reply{ReplyKind::kRead, 1, uint32_t(d), {}};
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    if (size_t(ReadPosition) + d <= kReadBufferSize) {
      uint8_t* at = ReadBuffer.get() + ReadPosition;
      Unpack7(at, m + 11, p);
      if (CrcBlock(at, d) == Decode7To32(m + 11 + p)) {
        // The worker takes the bytes from its own reply, never from whatever ReadBuffer holds.
        reply.data.assign(at, at + d);
        ReadPosition += int32_t(d);
        status = 0;
      }
    }
  }
  reply.status = status;
  Record(std::move(reply));
  Signal(status);
}

int CR9UpdaterDlg::ReadDeviceMemory(uint32_t address, uint32_t length, uint8_t* out) {
  return ReadOnce(address, length, out) == 0 ? 0 : -1;
}

int CR9UpdaterDlg::ReadOnce(uint32_t address, uint32_t length, uint8_t* out) {
  // The answer to a read that timed out may still come: it would pass for this read's own.
  if (readOutstanding_) {
    if (Resync(timings_.readWaitMs, true) != 0) return -1;
    readOutstanding_ = false;
  }
  BeginRequest();
  const size_t n = BuildReadRequest(SendBuffer, DeviceId(), address, length);
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    ReadPosition = 0;
  }
  SendSysEx(SendBuffer, n);
  // Only a Read reply can bring the bytes; a refusal comes as an error status. A reply with
  // more bytes than asked for answers some other read.
  Reply reply;
  const auto accept = [length](const Reply& r) {
    return (r.kind == ReplyKind::kRead && r.length <= length) || (r.kind == ReplyKind::kStatus && r.status != 0);
  };
  if (AwaitReply(timings_.readWaitMs, accept, &reply) != WAIT_OBJECT_0) {
    readOutstanding_ = true;
    return -1;
  }
  if (reply.kind == ReplyKind::kAbort) return -1;
  // A read succeeds only when its own reply brought every byte asked for.
  if (reply.kind != ReplyKind::kRead || reply.status != 0 || reply.data.size() != length) return -2;
  std::memcpy(out, reply.data.data(), length);
  return 0;
}

uint32_t CR9UpdaterDlg::WaitForReply(uint32_t timeoutMs) {
  // The single abort signal is taken by whichever wait runs at that moment; later waits of the
  // same worker still see ReplyStatus 255 at once.
  if (aborted_.load()) return WAIT_OBJECT_0;
  return ReplyEvent_->Wait(timeoutMs);
}

}  // namespace r9
