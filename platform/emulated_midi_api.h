// The MIDI driver interface over any number of transports: their ports listed one transport after
// the other, and for each open port the driver emulation (driver_emulation.h) between the
// host's headers and callbacks and the transport's bytes.
//
// The lists remember what each entry is: opening entry n opens the port that the last listing
// showed there, or fails with MMSYSERR_BADDEVICEID when it has gone since, never another port.
// A transport's failure becomes a result code whose text (midiInGetErrorTextA,
// midiOutGetErrorTextA) carries the transport's reason, and a "# <backend>: ..." line of the
// backend log. Every output signals its done event (CALLBACK_EVENT).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi_api.h"
#include "platform/midi_transport.h"

namespace r9 {

class MidiInputEmulation;
class MidiOutputEmulation;

class EmulatedMidiApi : public MidiApi {
 public:
  // How long one message may take to leave before its send fails.
  static constexpr std::chrono::milliseconds kSendBound{10000};

  // The transports, in the order their ports are listed. They must outlive the driver.
  explicit EmulatedMidiApi(std::vector<MidiTransport*> transports);
  // Closes the ports the host left open.
  ~EmulatedMidiApi() override;

  // What the last failure was about, in words; empty when nothing failed yet.
  std::string LastProblem() const;
  // The transport whose port the last listing showed at deviceId; null when none.
  MidiTransport* Transport(bool outputs, uint32_t deviceId) const;

  R9_MIDI_API_CALLS(, override);
  bool midiOutSignalsDone(uint32_t deviceId) override;

 private:
  struct Entry {
    MidiTransport* transport = nullptr;
    TransportPort port;
  };
  struct In;
  struct Out;

  // Lists every transport's ports of one direction and keeps the listing.
  uint32_t List(bool outputs);
  // The entry the last listing showed at deviceId (listing first if nothing was listed yet).
  bool Listed(bool outputs, uintptr_t deviceId, Entry* entry);
  template <typename Caps>
  MMRESULT FillCaps(bool outputs, uintptr_t deviceId, Caps* caps, uint32_t size);
  // Whether one of the open ports of a direction is this entry's port; mutex_ held.
  template <typename Port>
  static bool Busy(const std::map<uintptr_t, std::shared_ptr<Port>>& open, const Entry& entry);
  // Records a failure (and writes it to the backend log); returns its code.
  MMRESULT Problem(const Entry& entry, const TransportError& error);
  MMRESULT ErrorText(MMRESULT code, char* text, uint32_t size) const;
  template <typename Port, typename Handle>
  std::shared_ptr<Port> Find(const std::map<uintptr_t, std::shared_ptr<Port>>& open, Handle handle) const;
  // close(port) for the open port behind handle; once it succeeds, the handle is gone.
  template <typename Port, typename Handle, typename Close>
  MMRESULT Remove(std::map<uintptr_t, std::shared_ptr<Port>>& open, Handle handle, Close close);
  // call(port) for the open port behind handle; a header call passes the header's size, checked
  // first.
  template <typename Port, typename Handle, typename Call>
  MMRESULT With(const std::map<uintptr_t, std::shared_ptr<Port>>& open, Handle handle, Call call,
                uint32_t headerSize = sizeof(MIDIHDR)) const;

  const std::vector<MidiTransport*> transports_;
  mutable std::mutex mutex_;
  std::vector<Entry> listed_[2];  // inputs [0] and outputs [1]
  bool listedOnce_[2] = {false, false};
  std::map<uintptr_t, std::shared_ptr<In>> ins_;
  std::map<uintptr_t, std::shared_ptr<Out>> outs_;
  // Handle values are never reused, so a stale handle is always recognised.
  uintptr_t nextHandle_ = 0x100;
  MMRESULT problemCode_ = MMSYSERR_NOERROR;
  std::string problem_;
};

}  // namespace r9
