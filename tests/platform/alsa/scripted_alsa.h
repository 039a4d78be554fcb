// A scripted stand-in for the alsa-lib calls of the raw MIDI backend: cards, devices and
// subdevices as a test describes them, and open streams whose bytes the test delivers and
// whose writes it records. Each stream has a real pipe behind its poll descriptor, so the
// backend's reader and writer poll exactly as they do on a device: input is readable while
// delivered bytes wait, an unplugged input reports a hang-up, an unplugged output an error,
// and a stuck output (a full pipe) no room.
//
// One stand-in is current at a time; the table from Lib() reaches it. It must outlive every
// backend made over that table.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/alsa/alsa_lib.h"

namespace r9::test {

struct ScriptedDevice {
  int number = 0;
  std::string name;
  // Subdevice names per direction; an empty list: the device has no port in that direction.
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

struct ScriptedCard {
  int number = 0;
  std::vector<ScriptedDevice> devices;
  int ctlOpenError = 0;  // a negative errno: the card's control device cannot be opened
};

class ScriptedAlsa {
 public:
  ScriptedAlsa();
  ~ScriptedAlsa();
  ScriptedAlsa(const ScriptedAlsa&) = delete;
  ScriptedAlsa& operator=(const ScriptedAlsa&) = delete;

  static const AlsaLib& Lib();

  void SetCards(std::vector<ScriptedCard> cards);
  void FailOpen(const std::string& hwName, int err);

  // --- Streams, by the name they were opened with ("hw:1,0,0") and direction ---
  bool IsOpen(const std::string& hwName, bool input) const;
  int OpenMode(const std::string& hwName, bool input) const;
  // Bytes the device sends, as one read's worth (a read may take fewer when asked for fewer).
  void Deliver(const std::string& hwName, std::vector<uint8_t> bytes);
  // The next read, once the bytes before it are read, fails with err.
  void DeliverError(const std::string& hwName, int err);
  // The device is gone: its streams poll as failed, reads and writes fail with ENODEV.
  void Unplug(const std::string& hwName);
  // Each write takes at most the next limit's bytes; a negative limit is that write's error
  // (-EAGAIN: no room now). Writes beyond the script take everything.
  void ScriptWrites(const std::string& hwName, std::deque<long> limits);
  // The output has no room: writes fail with EAGAIN and the poll waits, until Unstick.
  void Stick(const std::string& hwName);
  void Unstick(const std::string& hwName);
  void SetDrainResult(const std::string& hwName, int result);
  std::vector<uint8_t> Written(const std::string& hwName) const;
  // How many bytes had been written at each drain.
  std::vector<size_t> Drains(const std::string& hwName) const;
  size_t WriteCalls(const std::string& hwName) const;
  // The output was closed with bytes it had not taken (stuck) and not dropped first.
  bool ClosedWithBytesPending(const std::string& hwName) const;

  // --- Bookkeeping a test asserts at its end ---
  AlsaErrorHandler ErrorHandler() const;
  int OpenControls() const;  // controls opened and not closed
  int LiveInfos() const;     // info records allocated and not freed
  int OpenStreams() const;
  // A call reached a stream after it was closed.
  bool UsedAfterClose() const;

 private:
  struct Stream;
  struct Info;
  struct Read {
    std::vector<uint8_t> bytes;
    int error = 0;
  };

  static ScriptedAlsa& Current();
  Stream* Find(const std::string& hwName, bool input) const;
  Stream* Use(AlsaRawMidi* rawmidi);
  static void DrainPipe(int fd);

  // The table's entries.
  static int CardNext(int* card);
  static int CtlOpen(AlsaCtl** ctl, const char* name, int mode);
  static int CtlClose(AlsaCtl* ctl);
  static int CtlNextDevice(AlsaCtl* ctl, int* device);
  static int CtlInfo(AlsaCtl* ctl, AlsaRawMidiInfo* info);
  static int InfoMalloc(AlsaRawMidiInfo** info);
  static void InfoFree(AlsaRawMidiInfo* info);
  static void InfoSetDevice(AlsaRawMidiInfo* info, unsigned device);
  static void InfoSetSubdevice(AlsaRawMidiInfo* info, unsigned subdevice);
  static void InfoSetStream(AlsaRawMidiInfo* info, int stream);
  static unsigned InfoSubdevices(const AlsaRawMidiInfo* info);
  static const char* InfoName(const AlsaRawMidiInfo* info);
  static const char* InfoSubdeviceName(const AlsaRawMidiInfo* info);
  static int Open(AlsaRawMidi** in, AlsaRawMidi** out, const char* name, int mode);
  static int Close(AlsaRawMidi* rawmidi);
  static int NonBlock(AlsaRawMidi* rawmidi, int nonblock);
  static ssize_t ReadBytes(AlsaRawMidi* rawmidi, void* buffer, size_t size);
  static ssize_t WriteBytes(AlsaRawMidi* rawmidi, const void* buffer, size_t size);
  static int Drain(AlsaRawMidi* rawmidi);
  static int Drop(AlsaRawMidi* rawmidi);
  static int PollCount(AlsaRawMidi* rawmidi);
  static int PollDescriptors(AlsaRawMidi* rawmidi, pollfd* fds, unsigned space);
  static int PollRevents(AlsaRawMidi* rawmidi, pollfd* fds, unsigned count, unsigned short* revents);
  static int SetErrorHandler(AlsaErrorHandler handler);
  static const char* StrError(int err);

  mutable std::mutex mutex_;
  std::vector<ScriptedCard> cards_;
  std::map<std::string, int> openErrors_;
  std::vector<std::unique_ptr<Stream>> streams_;
  int openControls_ = 0;
  int liveInfos_ = 0;
  bool usedAfterClose_ = false;
  AlsaErrorHandler handler_ = nullptr;
};

}  // namespace r9::test
