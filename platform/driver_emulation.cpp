#include "platform/driver_emulation.h"

#include <algorithm>

namespace r9 {

MidiInputEmulation::MidiInputEmulation(HMIDIIN handle, MidiInProcType callback, uintptr_t instance)
    : handle_(handle), callback_(callback), instance_(instance) {
  thread_ = std::thread([this] { Run(); });
}

MidiInputEmulation::~MidiInputEmulation() {
  std::unique_lock lock(mutex_);
  if (closed_) return;
  buffers_.clear();
  toReturn_.clear();
  closing_ = true;
  wake_.notify_all();
  lock.unlock();
  if (thread_.joinable()) {
    if (OnDriverThread()) {
      thread_.detach();  // cannot happen through the bus: its handles outlive their callbacks
    } else {
      thread_.join();
    }
  }
}

bool MidiInputEmulation::Feed(const uint8_t* bytes, size_t length) {
  std::lock_guard lock(mutex_);
  if (closing_ || closed_) return false;
  if (!started_ || length == 0) return true;  // nobody listens: the bytes are lost
  pending_.push_back(Chunk{std::vector<uint8_t>(bytes, bytes + length), 0});
  wake_.notify_all();
  return true;
}

MMRESULT MidiInputEmulation::PrepareHeader(MIDIHDR* header) {
  if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  header->dwFlags.fetch_or(MHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInputEmulation::UnprepareHeader(MIDIHDR* header) {
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  if (header->dwFlags.load() & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags.fetch_and(~MHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInputEmulation::AddBuffer(MIDIHDR* header) {
  if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  const uint32_t flags = header->dwFlags.load();
  if (!(flags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (flags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwBytesRecorded = 0;
  header->dwFlags.store((flags & ~MHDR_DONE) | MHDR_INQUEUE);
  buffers_.push_back(header);
  wake_.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInputEmulation::Start() {
  std::lock_guard lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  if (!started_) {
    started_ = true;
    startedAt_ = Clock::now();
  }
  wake_.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInputEmulation::Stop() {
  std::unique_lock lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  started_ = false;
  pending_.clear();
  parser_.Reset();
  if (!buffers_.empty() && buffers_.front()->dwBytesRecorded > 0) {
    MIDIHDR* header = buffers_.front();
    buffers_.pop_front();
    header->dwFlags.fetch_and(~MHDR_INQUEUE);
    header->dwFlags.fetch_or(MHDR_DONE);
    toReturn_.push_back(header);
  }
  DeliverReturns(lock);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInputEmulation::Reset() {
  std::unique_lock lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  started_ = false;
  pending_.clear();
  parser_.Reset();
  for (MIDIHDR* header : buffers_) {
    header->dwFlags.fetch_and(~MHDR_INQUEUE);
    header->dwFlags.fetch_or(MHDR_DONE);
    toReturn_.push_back(header);
  }
  buffers_.clear();
  DeliverReturns(lock);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInputEmulation::Close() {
  std::unique_lock lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  if (!buffers_.empty()) return MIDIERR_STILLPLAYING;
  // The thread that runs the callbacks cannot wait for itself to end.
  if (OnDriverThread()) return MMSYSERR_ERROR;
  closing_ = true;
  started_ = false;
  pending_.clear();
  wake_.notify_all();
  lock.unlock();
  thread_.join();
  lock.lock();
  closed_ = true;
  return MMSYSERR_NOERROR;
}

void MidiInputEmulation::DeliverReturns(std::unique_lock<std::mutex>& lock) {
  if (OnDriverThread()) {
    std::vector<MIDIHDR*> returns;
    returns.swap(toReturn_);
    lock.unlock();
    for (MIDIHDR* header : returns) Notify({MIM_LONGDATA, reinterpret_cast<uintptr_t>(header), Timestamp()});
    lock.lock();
    return;
  }
  wake_.notify_all();
  idle_.wait(lock, [this] { return (toReturn_.empty() && !delivering_) || closed_; });
}

uint32_t MidiInputEmulation::Timestamp() const {
  if (!started_) return 0;
  return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startedAt_).count());
}

void MidiInputEmulation::Notify(const Notification& notification) {
  if (callback_ != nullptr)
    callback_(handle_, notification.message, instance_, notification.param1, notification.param2);
}

MidiInputEmulation::Notification MidiInputEmulation::ReturnFront() {
  MIDIHDR* header = buffers_.front();
  buffers_.pop_front();
  header->dwFlags.fetch_and(~MHDR_INQUEUE);
  header->dwFlags.fetch_or(MHDR_DONE);
  return {MIM_LONGDATA, reinterpret_cast<uintptr_t>(header), Timestamp()};
}

void MidiInputEmulation::Run() {
  Notify({MIM_OPEN, 0, 0});
  std::unique_lock lock(mutex_);
  std::vector<Notification> out;
  for (;;) {
    if (!toReturn_.empty()) {
      for (MIDIHDR* header : toReturn_) out.push_back({MIM_LONGDATA, reinterpret_cast<uintptr_t>(header), 0});
      toReturn_.clear();
    } else if (closing_) {
      break;
    } else if (started_ && !pending_.empty()) {
      Chunk& chunk = pending_.front();
      // Bytes of a SysEx wait until the host has queued a buffer for them; what follows waits
      // behind them, so the stream keeps its order.
      const uint8_t byte = chunk.bytes[chunk.position];
      if (parser_.InSysEx() && byte >= 0x80 && byte < 0xF8 && byte != 0xF7) {
        // A status byte cuts the open SysEx off: what came of it so far goes back first, and
        // the byte is read again outside the SysEx.
        parser_.AbandonSysEx();
        if (!buffers_.empty() && buffers_.front()->dwBytesRecorded > 0) out.push_back(ReturnFront());
        if (out.empty()) continue;
      } else if (parser_.NeedsSysExBuffer(byte) && buffers_.empty()) {
        wake_.wait(lock);
        continue;
      } else {
        if (++chunk.position == chunk.bytes.size()) pending_.pop_front();
        ProcessByte(byte, out);
        if (out.empty()) continue;
      }
    } else {
      wake_.wait(lock);
      continue;
    }
    delivering_ = true;
    lock.unlock();
    for (const Notification& notification : out) Notify(notification);
    out.clear();
    lock.lock();
    delivering_ = false;
    idle_.notify_all();
  }
  lock.unlock();
  Notify({MIM_CLOSE, 0, 0});
}

void MidiInputEmulation::ProcessByte(uint8_t byte, std::vector<Notification>& out) {
  const ParsedByte parsed = parser_.Feed(byte);
  if (parsed.kind == ParsedByte::Kind::kShort) {
    out.push_back({MIM_DATA, parsed.shortMessage, Timestamp()});
  } else if (parsed.kind == ParsedByte::Kind::kSysExByte) {
    MIDIHDR* header = buffers_.front();
    header->lpData[header->dwBytesRecorded++] = char(byte);
    if (parsed.completesSysEx || header->dwBytesRecorded == header->dwBufferLength) out.push_back(ReturnFront());
  }
}

}  // namespace r9
