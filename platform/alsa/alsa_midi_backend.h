// The ALSA raw MIDI backend as a MIDI driver, over a table of alsa-lib calls (the real library,
// or a test's stand-in).
//
// The device lists are read again whenever the host counts the devices, so a rescan finds a
// device plugged in meanwhile; the records and opens use the list of the last count. Every
// failure of the library becomes a result code whose text (midiInGetErrorTextA and
// midiOutGetErrorTextA) names the port and the library's reason; alsa-lib's own messages are
// kept off the terminal.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/alsa/alsa_enumeration.h"
#include "platform/alsa/alsa_lib.h"
#include "platform/alsa/alsa_ports.h"
#include "platform/midi_api.h"

namespace r9 {

// The result code for a negative errno of the library.
MMRESULT AlsaResult(int err);

class AlsaMidiBackend final : public MidiApi {
 public:
  explicit AlsaMidiBackend(const AlsaLib& lib);
  // Closes the ports the host left open.
  ~AlsaMidiBackend() override;

  // What the last failure was about, in words ("hw:1,0,0 (KORVEN R9): Permission denied ...");
  // empty when nothing failed yet.
  std::string LastProblem() const;

  uint32_t midiInGetNumDevs() override;
  MMRESULT midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size) override;
  MMRESULT midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance,
                      uint32_t flags) override;
  MMRESULT midiInClose(HMIDIIN handle) override;
  MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiInStart(HMIDIIN handle) override;
  MMRESULT midiInStop(HMIDIIN handle) override;
  MMRESULT midiInReset(HMIDIIN handle) override;
  MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, uint32_t size) override;

  uint32_t midiOutGetNumDevs() override;
  MMRESULT midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size) override;
  MMRESULT midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t instance,
                       uint32_t flags) override;
  MMRESULT midiOutClose(HMIDIOUT handle) override;
  bool midiOutSignalsDone(uint32_t /*deviceId*/) override { return true; }
  MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiOutShortMsg(HMIDIOUT handle, uint32_t message) override;
  MMRESULT midiOutReset(HMIDIOUT handle) override;
  MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) override;

 private:
  struct InHandle {
    AlsaPort port;
    std::shared_ptr<AlsaInPort> stream;
  };
  struct OutHandle {
    AlsaPort port;
    std::shared_ptr<AlsaOutPort> stream;
  };

  // Reads the lists again. Caller holds mutex_.
  void Refresh();
  // Records what failed and returns its result code. Caller holds mutex_.
  MMRESULT Problem(int err, const std::string& what);
  MMRESULT StreamProblem(MMRESULT result, const AlsaPort& port, int err);
  MMRESULT ErrorText(MMRESULT code, char* text, uint32_t size);
  bool FindIn(HMIDIIN handle, InHandle& in) const;
  bool FindOut(HMIDIOUT handle, OutHandle& out) const;

  const AlsaLib& lib_;
  mutable std::mutex mutex_;
  AlsaPortList ports_;
  bool listed_ = false;
  std::map<uintptr_t, InHandle> ins_;
  std::map<uintptr_t, OutHandle> outs_;
  // Handle values are never reused, so a stale handle is always recognised.
  uintptr_t nextHandle_ = 0x100;
  MMRESULT problemCode_ = MMSYSERR_NOERROR;
  std::string problem_;
};

}  // namespace r9
