#include "tests/fakes/recording_midi_api.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel.h"
#include "platform/port_name.h"

namespace r9 {

namespace {
uintptr_t U(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }
}  // namespace

uint32_t RecordingMidiApi::Call(const std::string& name, std::vector<uintptr_t> args, uint32_t defaultResult) {
  log_.Record(name, std::move(args));
  return log_.TakeResult(name).value_or(defaultResult);
}

void RecordingMidiApi::MarkDone(MIDIHDR* header) {
  header->dwFlags.fetch_and(~MHDR_INQUEUE);
  header->dwFlags.fetch_or(MHDR_DONE);
}

void RecordingMidiApi::SetInputNames(std::vector<std::string> names) {
  std::lock_guard lock(mutex_);
  inputNames_ = std::move(names);
}

void RecordingMidiApi::SetOutputNames(std::vector<std::string> names) {
  std::lock_guard lock(mutex_);
  outputNames_ = std::move(names);
}

bool RecordingMidiApi::DeliverLongData(const std::vector<uint8_t>& bytes) {
  MIDIHDR* header;
  {
    std::lock_guard lock(mutex_);
    if (inputBuffers_.empty() || inputBuffers_.front()->dwBufferLength < bytes.size()) return false;
    header = inputBuffers_.front();
    inputBuffers_.erase(inputBuffers_.begin());
  }
  std::memcpy(header->lpData, bytes.data(), bytes.size());
  header->dwBytesRecorded = uint32_t(bytes.size());
  MarkDone(header);
  Deliver(MIM_LONGDATA, U(header), 0);
  return true;
}

void RecordingMidiApi::DeliverShortMessage(uint32_t message) { Deliver(MIM_DATA, message, 0); }

void RecordingMidiApi::Deliver(uint32_t message, uintptr_t param1, uintptr_t param2) {
  MidiInProcType callback;
  HMIDIIN handle;
  uintptr_t instance;
  {
    std::lock_guard lock(mutex_);
    callback = callback_;
    handle = inputHandle_;
    instance = instance_;
  }
  if (callback != nullptr) callback(handle, message, instance, param1, param2);
}

size_t RecordingMidiApi::QueuedInputBuffers() const {
  std::lock_guard lock(mutex_);
  return inputBuffers_.size();
}

void RecordingMidiApi::SetCompleteLongMessages(bool complete) {
  std::lock_guard lock(mutex_);
  completeLongMessages_ = complete;
}

void RecordingMidiApi::CompleteLongMessages() {
  std::lock_guard lock(mutex_);
  for (MIDIHDR* header : pendingOutput_) MarkOutputDone(header);
  pendingOutput_.clear();
}

void RecordingMidiApi::MarkOutputDone(MIDIHDR* header) {
  MarkDone(header);
  if (doneEvent_ != nullptr) doneEvent_->SetEvent();
}

void RecordingMidiApi::SetSignalsDone(bool signals) {
  std::lock_guard lock(mutex_);
  signalsDone_ = signals;
}

bool RecordingMidiApi::midiOutSignalsDone(uint32_t) {
  std::lock_guard lock(mutex_);
  return signalsDone_;
}

size_t RecordingMidiApi::PendingLongMessages() const {
  std::lock_guard lock(mutex_);
  return pendingOutput_.size();
}

// --- Input ---

uint32_t RecordingMidiApi::midiInGetNumDevs() {
  std::lock_guard lock(mutex_);
  const auto count = uint32_t(inputNames_.size());
  log_.Record("midiInGetNumDevs", {});
  return log_.TakeResult("midiInGetNumDevs").value_or(count);
}

MMRESULT RecordingMidiApi::midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size) {
  const MMRESULT result = Call("midiInGetDevCapsA", {deviceId, size});
  std::lock_guard lock(mutex_);
  if (result == MMSYSERR_NOERROR && caps != nullptr && deviceId < inputNames_.size()) {
    *caps = MIDIINCAPSA{};
    CopyPortName(inputNames_[deviceId], caps->szPname, kMaxPnameLen);
  }
  return result;
}

MMRESULT RecordingMidiApi::midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance,
                                      uint32_t flags) {
  const MMRESULT result = Call("midiInOpen", {deviceId, U(reinterpret_cast<void*>(callback)), instance, flags});
  if (result == MMSYSERR_NOERROR && handle != nullptr) {
    std::lock_guard lock(mutex_);
    inputHandle_ = InputHandle(++inputsOpened_);
    callback_ = callback;
    instance_ = instance;
    *handle = inputHandle_;
  }
  return result;
}

MMRESULT RecordingMidiApi::midiInClose(HMIDIIN handle) {
  const MMRESULT result = Call("midiInClose", {U(handle)});
  if (result == MMSYSERR_NOERROR) {
    std::lock_guard lock(mutex_);
    callback_ = nullptr;
  }
  return result;
}

MMRESULT RecordingMidiApi::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  return Call("midiInPrepareHeader", {U(handle), U(header), size});
}

MMRESULT RecordingMidiApi::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  return Call("midiInUnprepareHeader", {U(handle), U(header), size});
}

MMRESULT RecordingMidiApi::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  const MMRESULT result = Call("midiInAddBuffer", {U(handle), U(header), size});
  if (result == MMSYSERR_NOERROR && header != nullptr) {
    header->dwBytesRecorded = 0;
    header->dwFlags.fetch_and(~MHDR_DONE);
    header->dwFlags.fetch_or(MHDR_INQUEUE);
    std::lock_guard lock(mutex_);
    inputBuffers_.push_back(header);
  }
  return result;
}

MMRESULT RecordingMidiApi::midiInStart(HMIDIIN handle) { return Call("midiInStart", {U(handle)}); }

MMRESULT RecordingMidiApi::midiInStop(HMIDIIN handle) { return Call("midiInStop", {U(handle)}); }

MMRESULT RecordingMidiApi::midiInReset(HMIDIIN handle) {
  const MMRESULT result = Call("midiInReset", {U(handle)});
  if (result != MMSYSERR_NOERROR) return result;
  // Like a driver, hand back every queued buffer, marked done, before returning.
  std::vector<MIDIHDR*> returned;
  {
    std::lock_guard lock(mutex_);
    returned.swap(inputBuffers_);
  }
  for (MIDIHDR* header : returned) {
    MarkDone(header);
    Deliver(MIM_LONGDATA, U(header), 0);
  }
  return result;
}

MMRESULT RecordingMidiApi::midiInGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  const MMRESULT result = Call("midiInGetErrorTextA", {code, size});
  if (text != nullptr && size > 0) std::strncpy(text, "recorded error", size - 1), text[size - 1] = 0;
  return result;
}

// --- Output ---

uint32_t RecordingMidiApi::midiOutGetNumDevs() {
  std::lock_guard lock(mutex_);
  const auto count = uint32_t(outputNames_.size());
  log_.Record("midiOutGetNumDevs", {});
  return log_.TakeResult("midiOutGetNumDevs").value_or(count);
}

MMRESULT RecordingMidiApi::midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size) {
  const MMRESULT result = Call("midiOutGetDevCapsA", {deviceId, size});
  std::lock_guard lock(mutex_);
  if (result == MMSYSERR_NOERROR && caps != nullptr && deviceId < outputNames_.size()) {
    *caps = MIDIOUTCAPSA{};
    CopyPortName(outputNames_[deviceId], caps->szPname, kMaxPnameLen);
  }
  return result;
}

MMRESULT RecordingMidiApi::midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t instance,
                                       uint32_t flags) {
  const MMRESULT result = Call("midiOutOpen", {deviceId, callback, instance, flags});
  if (result == MMSYSERR_NOERROR && handle != nullptr) {
    std::lock_guard lock(mutex_);
    *handle = OutputHandle(++outputsOpened_);
    doneEvent_ = flags == CALLBACK_EVENT && signalsDone_ ? reinterpret_cast<ReplyEvent*>(callback) : nullptr;
  }
  return result;
}

MMRESULT RecordingMidiApi::midiOutClose(HMIDIOUT handle) {
  const MMRESULT result = Call("midiOutClose", {U(handle)});
  std::lock_guard lock(mutex_);
  doneEvent_ = nullptr;
  return result;
}

MMRESULT RecordingMidiApi::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  return Call("midiOutPrepareHeader", {U(handle), U(header), size});
}

MMRESULT RecordingMidiApi::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  return Call("midiOutUnprepareHeader", {U(handle), U(header), size});
}

MMRESULT RecordingMidiApi::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  const MMRESULT result = Call("midiOutLongMsg", {U(handle), U(header), size});
  if (result != MMSYSERR_NOERROR || header == nullptr) return result;
  std::lock_guard lock(mutex_);
  if (completeLongMessages_) {
    MarkOutputDone(header);
  } else {
    header->dwFlags.fetch_and(~MHDR_DONE);
    header->dwFlags.fetch_or(MHDR_INQUEUE);
    pendingOutput_.push_back(header);
  }
  return result;
}

MMRESULT RecordingMidiApi::midiOutShortMsg(HMIDIOUT handle, uint32_t message) {
  return Call("midiOutShortMsg", {U(handle), message});
}

MMRESULT RecordingMidiApi::midiOutReset(HMIDIOUT handle) {
  const MMRESULT result = Call("midiOutReset", {U(handle)});
  if (result == MMSYSERR_NOERROR) CompleteLongMessages();
  return result;
}

MMRESULT RecordingMidiApi::midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  const MMRESULT result = Call("midiOutGetErrorTextA", {code, size});
  if (text != nullptr && size > 0) std::strncpy(text, "recorded error", size - 1), text[size - 1] = 0;
  return result;
}

}  // namespace r9
