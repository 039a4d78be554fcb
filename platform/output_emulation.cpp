#include "platform/output_emulation.h"

#include <chrono>

#include "platform/kernel.h"
#include "platform/midi_stream_parser.h"

namespace r9 {

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
  if (thread_.joinable()) {
    if (std::this_thread::get_id() == thread_.get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
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
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  if (header->dwFlags.load() & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags.fetch_and(~MHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiOutputEmulation::LongMsg(MIDIHDR* header) {
  if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (closed_ || closing_) return MMSYSERR_INVALHANDLE;
  const uint32_t flags = header->dwFlags.load();
  if (!(flags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (flags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
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
  if (std::this_thread::get_id() == thread_.get_id()) return MMSYSERR_ERROR;
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
