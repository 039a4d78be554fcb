#include "platform/driver_emulation.h"

#include <algorithm>

#include "platform/kernel.h"

namespace r9 {
namespace {

// Header bookkeeping that both directions do alike. Whether a header names a buffer at all:
bool HasBuffer(const MIDIHDR* header) {
  return header != nullptr && header->lpData != nullptr && header->dwBufferLength != 0;
}

// The flag changes, under the port's lock.
MMRESULT Unprepare(MIDIHDR* header) {
  if (header->dwFlags.load() & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags.fetch_and(~MHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

// Whether the host may queue a header with these flags: prepared, and not queued already.
MMRESULT CanQueue(uint32_t flags) {
  if (!(flags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  return (flags & MHDR_INQUEUE) ? MIDIERR_STILLPLAYING : MMSYSERR_NOERROR;
}

// A receive buffer leaves the queue, filled as far as it is, and goes back to the host.
MIDIHDR* Returned(MIDIHDR* header) {
  header->dwFlags.fetch_and(~MHDR_INQUEUE);
  header->dwFlags.fetch_or(MHDR_DONE);
  return header;
}

// Whether the caller is the port's driver thread (the one that runs the host's callbacks).
bool OnThread(const std::thread& thread) { return std::this_thread::get_id() == thread.get_id(); }

// A port that goes away ends its driver thread; from that thread itself it can only let go.
void EndThread(std::thread& thread) {
  if (!thread.joinable()) return;
  if (OnThread(thread)) {
    thread.detach();  // cannot happen through the bus: its handles outlive their callbacks
  } else {
    thread.join();
  }
}

}  // namespace

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
  EndThread(thread_);
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
  if (!HasBuffer(header)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  header->dwFlags.fetch_or(MHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInputEmulation::UnprepareHeader(MIDIHDR* header) {
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  return closed_ ? MMSYSERR_INVALHANDLE : Unprepare(header);
}

MMRESULT MidiInputEmulation::AddBuffer(MIDIHDR* header) {
  if (!HasBuffer(header)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  const uint32_t flags = header->dwFlags.load();
  if (const MMRESULT refused = CanQueue(flags); refused != MMSYSERR_NOERROR) return refused;
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
    toReturn_.push_back(Returned(buffers_.front()));
    buffers_.pop_front();
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
  for (MIDIHDR* header : buffers_) toReturn_.push_back(Returned(header));
  buffers_.clear();
  DeliverReturns(lock);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiInputEmulation::Close() {
  std::unique_lock lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  if (!buffers_.empty()) return MIDIERR_STILLPLAYING;
  // The thread that runs the callbacks cannot wait for itself to end.
  if (OnThread(thread_)) return MMSYSERR_ERROR;
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
  if (OnThread(thread_)) {
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
  MIDIHDR* header = Returned(buffers_.front());
  buffers_.pop_front();
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

MidiOutputEmulation::MidiOutputEmulation(Sink sink) : sink_(std::move(sink)) {
  thread_ = std::thread([this] { Run(); });
}

MidiOutputEmulation::~MidiOutputEmulation() {
  std::unique_lock lock(mutex_);
  if (closed_) return;
  queue_.clear();
  current_ = nullptr;
  closing_ = true;
  wake_.notify_all();
  lock.unlock();
  EndThread(thread_);
}

void MidiOutputEmulation::SetDoneEvent(ReplyEvent* event) {
  std::lock_guard lock(mutex_);
  doneEvent_ = event;
}

MMRESULT MidiOutputEmulation::PrepareHeader(MIDIHDR* header) {
  if (header == nullptr || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  header->dwFlags.fetch_or(MHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutputEmulation::UnprepareHeader(MIDIHDR* header) {
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  return closed_ || closing_ ? MMSYSERR_INVALHANDLE : Unprepare(header);
}

MMRESULT MidiOutputEmulation::LongMsg(MIDIHDR* header) {
  if (!HasBuffer(header)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  const uint32_t flags = header->dwFlags.load();
  if (const MMRESULT refused = CanQueue(flags); refused != MMSYSERR_NOERROR) return refused;
  // The bytes are copied now, so the driver never reads the caller's buffer after this call.
  const auto* bytes = reinterpret_cast<const uint8_t*>(header->lpData);
  queue_.push_back(Message{header, std::vector<uint8_t>(bytes, bytes + header->dwBufferLength)});
  header->dwFlags.store((flags & ~(MHDR_DONE | MHDR_FAILED)) | MHDR_INQUEUE);
  wake_.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutputEmulation::ShortMsg(uint32_t message) {
  const auto status = uint8_t(message & 0xFF);
  const int length = ShortMessageLength(status);
  if (length == 0) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  std::vector<uint8_t> bytes;
  for (int i = 0; i < length; ++i) bytes.push_back(uint8_t(message >> (8 * i)));
  queue_.push_back(Message{nullptr, std::move(bytes)});
  wake_.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutputEmulation::Reset() {
  std::lock_guard lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  for (Message& message : queue_) {
    if (message.header != nullptr) MarkDone(message.header, false);
  }
  queue_.clear();
  if (current_ != nullptr) MarkDone(current_, false);
  current_ = nullptr;
  ++resets_;
  wake_.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutputEmulation::Close() {
  std::unique_lock lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  if (current_ != nullptr) return MIDIERR_STILLPLAYING;
  for (const Message& message : queue_) {
    if (message.header != nullptr) return MIDIERR_STILLPLAYING;
  }
  if (OnThread(thread_)) return MMSYSERR_ERROR;
  queue_.clear();  // short messages not yet on the link are dropped
  closing_ = true;
  wake_.notify_all();
  lock.unlock();
  thread_.join();
  lock.lock();
  closed_ = true;
  doneEvent_ = nullptr;
  return MMSYSERR_NOERROR;
}

void MidiOutputEmulation::MarkDone(MIDIHDR* header, bool sent) {
  // MHDR_DONE is the last thing the driver writes: its owner may release the header at once.
  header->dwFlags.fetch_and(~(MHDR_INQUEUE | MHDR_FAILED));
  header->dwFlags.fetch_or(sent ? MHDR_DONE : (MHDR_DONE | MHDR_FAILED));
  // After the flag, so that a sender woken by the event finds its header done.
  if (doneEvent_ != nullptr) doneEvent_->SetEvent();
}

void MidiOutputEmulation::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
    if (closing_) break;
    Message message = std::move(queue_.front());
    queue_.pop_front();
    current_ = message.header;
    const uint64_t resets = resets_;
    lock.unlock();
    const bool sent = !sink_ || sink_(std::move(message.bytes));
    lock.lock();
    if (message.header != nullptr && current_ == message.header && resets_ == resets) {
      MarkDone(message.header, sent);
      current_ = nullptr;
    }
  }
}

}  // namespace r9
