// A MidiApi for unit tests: it logs every call with its arguments and returns scripted
// results, so a test can assert the exact calls a port makes, and fail any of them.
//
// Every call returns 0 (MMSYSERR_NOERROR) unless a result is scripted for its name through
// Log(); the device counts default to the number of names given. Headers are touched only
// where a driver would mark them done: midiOutLongMsg (at once, unless SetCompleteLongMessages
// (false)), midiOutReset and midiInReset, and the Deliver functions.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi_api.h"
#include "tests/fakes/call_log.h"

namespace r9 {

class RecordingMidiApi final : public MidiApi {
 public:
  CallLog& Log() { return log_; }
  // Shorthands for Log().Calls() and Log().Names().
  std::vector<PlatformCall> Calls() const { return log_.Calls(); }
  std::vector<std::string> CallNames() const { return log_.Names(); }

  void SetInputNames(std::vector<std::string> names);
  void SetOutputNames(std::vector<std::string> names);
  // The handle values midiInOpen and midiOutOpen hand out, one per successful open: 0x1001,
  // 0x1002, ... for inputs and 0x2001, ... for outputs.
  static HMIDIIN InputHandle(int n) { return reinterpret_cast<HMIDIIN>(uintptr_t(0x1000 + n)); }
  static HMIDIOUT OutputHandle(int n) { return reinterpret_cast<HMIDIOUT>(uintptr_t(0x2000 + n)); }

  // --- Driver side of an input port, run on the calling thread ---
  // Fills the oldest buffer that midiInAddBuffer queued with bytes, marks it done and hands it
  // to the callback (MIM_LONGDATA). Returns false when no buffer is queued or it is too small.
  bool DeliverLongData(const std::vector<uint8_t>& bytes);
  // MIM_DATA with the packed message.
  void DeliverShortMessage(uint32_t message);
  // Any notification, as given.
  void Deliver(uint32_t message, uintptr_t param1, uintptr_t param2);
  size_t QueuedInputBuffers() const;

  // --- Driver side of an output port ---
  // false: midiOutLongMsg leaves headers pending until CompleteLongMessages or midiOutReset.
  void SetCompleteLongMessages(bool complete);
  void CompleteLongMessages();
  size_t PendingLongMessages() const;
  // true: midiOutSignalsDone says yes (it is not logged), and an output opened with
  // CALLBACK_EVENT has its event set whenever one of its headers is marked done.
  void SetSignalsDone(bool signals);

  R9_MIDI_API_CALLS(, override);
  bool midiOutSignalsDone(uint32_t deviceId) override;

 private:
  // Logs the call and returns its scripted result, or defaultResult.
  uint32_t Call(const std::string& name, std::vector<uintptr_t> args, uint32_t defaultResult = MMSYSERR_NOERROR);
  static void MarkDone(MIDIHDR* header);
  // MarkDone for an output header, then the done event. Called with mutex_ held.
  void MarkOutputDone(MIDIHDR* header);

  CallLog log_;
  mutable std::mutex mutex_;
  std::vector<std::string> inputNames_;
  std::vector<std::string> outputNames_;
  int inputsOpened_ = 0;
  int outputsOpened_ = 0;
  HMIDIIN inputHandle_ = nullptr;
  MidiInProcType callback_ = nullptr;
  uintptr_t instance_ = 0;
  std::vector<MIDIHDR*> inputBuffers_;
  bool completeLongMessages_ = true;
  std::vector<MIDIHDR*> pendingOutput_;
  bool signalsDone_ = false;
  ReplyEvent* doneEvent_ = nullptr;
};

}  // namespace r9
