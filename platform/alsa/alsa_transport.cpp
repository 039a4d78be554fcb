#include "platform/alsa/alsa_transport.h"

#include <cerrno>

#include "platform/alsa/alsa_enumeration.h"
#include "platform/alsa/alsa_ports.h"

namespace r9 {

namespace {

// alsa-lib prints its complaints ("cannot find card ...") to the terminal unless told
// otherwise; every failure reaches the host as a result code and its text instead.
void QuietErrorHandler(const char*, int, const char*, int, const char*, ...) {}

MMRESULT AlsaResult(int err) {
  switch (-err) {
    case EBUSY:
      return MMSYSERR_ALLOCATED;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
    case ESHUTDOWN:
      return MMSYSERR_NODRIVER;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    default:  // EACCES, EPERM and whatever else the library reports
      return MMSYSERR_ERROR;
  }
}

TransportError Error(int err, std::string text) {
  if (err == -EACCES || err == -EPERM)
    text += "; the user may need to be in the group that owns the sound devices (audio)";
  return {AlsaResult(err < 0 ? err : -EIO), std::move(text)};
}

std::string Describe(const TransportPort& port) { return port.id + " (" + port.name + ")"; }

}  // namespace

MidiTransport& AlsaMidiTransport() {
  static AlsaTransport transport(RealAlsaLib());
  return transport;
}

AlsaTransport::AlsaTransport(const AlsaLib& lib) : lib_(lib) { lib_.lib_error_set_handler(QuietErrorHandler); }

std::vector<TransportPort> AlsaTransport::List(bool outputs, TransportError* problem) {
  const AlsaPortList ports = EnumerateAlsaPorts(lib_);
  if (ports.error != 0) *problem = Error(ports.error, ports.problem);
  std::vector<TransportPort> list;
  for (const AlsaPort& port : outputs ? ports.outputs : ports.inputs) list.push_back({port.HardwareName(), port.name});
  return list;
}

AlsaRawMidi* AlsaTransport::Open(const TransportPort& port, bool output, TransportError* error) {
  // The card numbers may have moved since the listing: open the port only if it is still
  // there under its name, never another device in its place.
  TransportError problem;
  bool listed = false;
  for (const TransportPort& now : List(output, &problem)) listed |= now.id == port.id && now.name == port.name;
  if (!listed) {
    *error = Error(-ENODEV, "cannot open " + Describe(port) + ": the port has gone");
    return nullptr;
  }
  AlsaRawMidi* rawmidi = nullptr;
  // Non-blocking, so that neither the open nor a write can hang on a device that stopped
  // taking bytes; the writer polls for room instead.
  const int err = output ? lib_.rawmidi_open(nullptr, &rawmidi, port.id.c_str(), kAlsaRawMidiNonBlock)
                         : lib_.rawmidi_open(&rawmidi, nullptr, port.id.c_str(), kAlsaRawMidiNonBlock);
  if (err < 0 || rawmidi == nullptr) {
    *error = Error(err, "cannot open " + Describe(port) + ": " + lib_.strerror(err < 0 ? err : -EIO));
    return nullptr;
  }
  return rawmidi;
}

std::unique_ptr<TransportInput> AlsaTransport::OpenInput(const TransportPort& port, TransportSink sink,
                                                         TransportError* error) {
  AlsaRawMidi* rawmidi = Open(port, false, error);
  if (rawmidi == nullptr) return nullptr;
  auto in = std::make_unique<AlsaInPort>(lib_, rawmidi, std::move(sink), Describe(port));
  if (!in->Ready()) {
    *error = Error(-EMFILE, "cannot open " + Describe(port) + ": no file descriptor left");
    return nullptr;  // closes the stream again
  }
  return in;
}

std::unique_ptr<TransportOutput> AlsaTransport::OpenOutput(const TransportPort& port, TransportError* error) {
  AlsaRawMidi* rawmidi = Open(port, true, error);
  if (rawmidi == nullptr) return nullptr;
  auto out = std::make_unique<AlsaOutPort>(lib_, rawmidi, Describe(port));
  if (!out->Ready()) {
    *error = Error(-EMFILE, "cannot open " + Describe(port) + ": no file descriptor left");
    return nullptr;
  }
  return out;
}

}  // namespace r9
