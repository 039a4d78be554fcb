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
    uint64_t arrival = 0;
    const uint8_t* m = MidiIn.PeekSysEx(&length, &arrival);
    if (!m) return;
    if (dispatchObserver_) dispatchObserver_(m, length);
    DispatchOne(m, length, arrival);
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
void CR9UpdaterDlg::DispatchOne(const uint8_t* m, size_t length, uint64_t arrival) {
  if (length < 2 || m[0] != kSysExStart) return;

  if (m[1] == kMakerId) {
    if (length < 5) return;
    switch (m[4]) {
      case kSubStatus:
        if (length >= 6) {
          Record({ReplyKind::kStatus, m[5], 0, {}, arrival});
          Signal(m[5]);
        }
        return;
      case kSubEnterUpdate:
      case kSubFinishUpdate:
      case kSubDeviceRequest5:
        SendStatus(kStatusOk);
        return;
      case kSubWriteBlock:  // Acknowledge
        Record({ReplyKind::kAck, 0, 0, {}, arrival});
        Signal(0);
        return;
      case kSubDeviceRequest3:
        return;
      case kSubMemory:
        DispatchReadReply(m, length, arrival);
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
        Record({ReplyKind::kIdentity, 0, 0, {}, arrival});
        Signal(0);
        return;
      default:
        SendStatus(kStatusRefused);
        return;
    }
  }
}

void CR9UpdaterDlg::DispatchReadReply(const uint8_t* m, size_t length, uint64_t arrival) {
  if (length < 6) {
    Record({ReplyKind::kRead, 1, 0, {}, arrival});
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
    Record({ReplyKind::kRead, 1, 0, {}, arrival});
    Signal(1);
    return;
  }
  const size_t d = size_t(m[9]) + 128 * size_t(m[10]);
  const size_t p = PackedLength(d);
  // Data, five CRC groups; the closing F7 is not looked for.
  if (length < 11 + p + 5) {
    Record({ReplyKind::kRead, 1, uint32_t(d), {}, arrival});
    Signal(1);
    return;
  }
  int32_t status = 1;
  Reply reply{ReplyKind::kRead, 1, uint32_t(d), {}, arrival};
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
  return ReadOnce(address, length, out) == ReadResult::kOk ? 0 : -1;
}

ReadResult CR9UpdaterDlg::ReadOnce(uint32_t address, uint32_t length, uint8_t* out, uint32_t* got,
                                   const std::vector<std::vector<uint8_t>>* ignore) {
  // The answer to a read that timed out may still come: it would pass for this read's own.
  if (readOutstanding_) {
    const int fence = Resync(timings_.readWaitMs, true);
    if (fence == 255) return ReadResult::kAborted;
    if (fence != 0) return ReadResult::kTimeout;
    readOutstanding_ = false;
  }
  const uint32_t previous = lastReadLength_;
  const size_t n = BuildReadRequest(SendBuffer, DeviceId(), address, length);
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    ReadPosition = 0;
  }
  lastReadLength_ = length;
  BeginRequest();
  SendSysEx(SendBuffer, n);
  // Its own reply says it carries the length asked for. A device that takes only shorter
  // reads may send fewer bytes; a reply of the previous request's length is that request's
  // (a doubled answer), as is one with more bytes than asked. A refusal comes as an error
  // status.
  const auto accept = [length, previous, ignore](const Reply& r) {
    if (r.kind == ReplyKind::kStatus) return r.status != 0;
    if (r.kind != ReplyKind::kRead) return false;
    if (ignore && r.status == 0)
      for (const std::vector<uint8_t>& earlier : *ignore)
        if (r.data == earlier) return false;
    return r.length == length || (r.length < length && r.length != previous);
  };
  Reply reply;
  if (AwaitReply(timings_.readWaitMs, accept, &reply) != WAIT_OBJECT_0) {
    readOutstanding_ = true;
    return ReadResult::kTimeout;
  }
  if (reply.kind == ReplyKind::kAbort) return ReadResult::kAborted;
  // A refused or cut-short read is asked again smaller or elsewhere at once: first let a doubled
  // copy of this answer arrive, so that it is dropped as stale instead of answering that read.
  if (reply.kind == ReplyKind::kStatus) {
    Sleep(timings_.settleMs);
    return ReadResult::kRefused;
  }
  if (reply.status != 0 || reply.data.size() != reply.length) return ReadResult::kFailed;
  if (reply.length < length) {
    if (got) *got = reply.length;
    Sleep(timings_.settleMs);
    return ReadResult::kCut;
  }
  // A read succeeds only with its own reply's bytes, never with whatever ReadBuffer holds.
  std::memcpy(out, reply.data.data(), length);
  return ReadResult::kOk;
}

void CR9UpdaterDlg::SetDispatchObserver(std::function<void(const uint8_t*, size_t)> observer) {
  std::lock_guard<std::mutex> lock(dispatchMutex_);
  dispatchObserver_ = std::move(observer);
}

uint32_t CR9UpdaterDlg::WaitForReply(uint32_t timeoutMs) {
  // The single abort signal is taken by whichever wait runs at that moment; later waits of the
  // same worker still see ReplyStatus 255 at once.
  if (aborted_.load()) return WAIT_OBJECT_0;
  return ReplyEvent_->Wait(timeoutMs);
}

}  // namespace r9
