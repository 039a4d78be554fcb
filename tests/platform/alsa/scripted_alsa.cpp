#include "tests/platform/alsa/scripted_alsa.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace r9::test {

namespace {
ScriptedAlsa* current = nullptr;
}  // namespace

struct ScriptedAlsa::Stream {
  std::string hwName;
  bool input = false;
  int mode = 0;
  int pipe[2] = {-1, -1};
  std::deque<Read> reads;
  std::deque<long> writeLimits;
  std::vector<uint8_t> written;
  std::vector<size_t> drains;
  size_t writeCalls = 0;
  int drainResult = 0;
  bool unplugged = false;
  bool closed = false;
  bool closedWithBytesPending = false;

  void CloseEnd(int end) {
    if (pipe[end] >= 0) close(pipe[end]);
    pipe[end] = -1;
  }
  // The descriptor the backend polls: the read end of an input, the write end of an output.
  int PollFd() const { return input ? pipe[0] : pipe[1]; }
};

struct ScriptedAlsa::Info {
  unsigned device = 0;
  unsigned subdevice = 0;
  int stream = kAlsaStreamOutput;
  std::string name;
  std::string subdeviceName;
  unsigned count = 0;
};

ScriptedAlsa::ScriptedAlsa() { current = this; }

ScriptedAlsa::~ScriptedAlsa() {
  for (auto& stream : streams_) {
    stream->CloseEnd(0);
    stream->CloseEnd(1);
  }
  if (current == this) current = nullptr;
}

ScriptedAlsa& ScriptedAlsa::Current() { return *current; }

const AlsaLib& ScriptedAlsa::Lib() {
  static const AlsaLib table = {
      .card_next = &CardNext,
      .ctl_open = &CtlOpen,
      .ctl_close = &CtlClose,
      .ctl_rawmidi_next_device = &CtlNextDevice,
      .ctl_rawmidi_info = &CtlInfo,
      .rawmidi_info_malloc = &InfoMalloc,
      .rawmidi_info_free = &InfoFree,
      .rawmidi_info_set_device = &InfoSetDevice,
      .rawmidi_info_set_subdevice = &InfoSetSubdevice,
      .rawmidi_info_set_stream = &InfoSetStream,
      .rawmidi_info_get_subdevices_count = &InfoSubdevices,
      .rawmidi_info_get_name = &InfoName,
      .rawmidi_info_get_subdevice_name = &InfoSubdeviceName,
      .rawmidi_open = &Open,
      .rawmidi_close = &Close,
      .rawmidi_nonblock = &NonBlock,
      .rawmidi_read = &ReadBytes,
      .rawmidi_write = &WriteBytes,
      .rawmidi_drain = &Drain,
      .rawmidi_drop = &Drop,
      .rawmidi_poll_descriptors_count = &PollCount,
      .rawmidi_poll_descriptors = &PollDescriptors,
      .rawmidi_poll_descriptors_revents = &PollRevents,
      .lib_error_set_handler = &SetErrorHandler,
      .strerror = &StrError,
  };
  return table;
}

// --- Script ---

void ScriptedAlsa::SetCards(std::vector<ScriptedCard> cards) {
  std::lock_guard lock(mutex_);
  cards_ = std::move(cards);
}

void ScriptedAlsa::FailOpen(const std::string& hwName, int err) {
  std::lock_guard lock(mutex_);
  openErrors_[hwName] = err;
}

ScriptedAlsa::Stream* ScriptedAlsa::Find(const std::string& hwName, bool input) const {
  // The latest stream of that name: a port may be opened again after a close.
  for (auto it = streams_.rbegin(); it != streams_.rend(); ++it) {
    if ((*it)->hwName == hwName && (*it)->input == input) return it->get();
  }
  return nullptr;
}

bool ScriptedAlsa::IsOpen(const std::string& hwName, bool input) const {
  std::lock_guard lock(mutex_);
  const Stream* stream = Find(hwName, input);
  return stream != nullptr && !stream->closed;
}

int ScriptedAlsa::OpenMode(const std::string& hwName, bool input) const {
  std::lock_guard lock(mutex_);
  const Stream* stream = Find(hwName, input);
  return stream != nullptr ? stream->mode : -1;
}

void ScriptedAlsa::Deliver(const std::string& hwName, std::vector<uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  Stream* stream = Find(hwName, true);
  if (stream == nullptr || stream->closed || stream->unplugged) return;
  stream->reads.push_back(Read{std::move(bytes), 0});
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(stream->pipe[1], &byte, 1);
}

void ScriptedAlsa::DeliverError(const std::string& hwName, int err) {
  std::lock_guard lock(mutex_);
  Stream* stream = Find(hwName, true);
  if (stream == nullptr || stream->closed) return;
  stream->reads.push_back(Read{{}, err});
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(stream->pipe[1], &byte, 1);
}

void ScriptedAlsa::Unplug(const std::string& hwName) {
  std::lock_guard lock(mutex_);
  for (auto& stream : streams_) {
    if (stream->hwName != hwName || stream->closed) continue;
    stream->unplugged = true;
    // An input's poll sees a hang-up, an output's an error.
    stream->CloseEnd(stream->input ? 1 : 0);
  }
}

void ScriptedAlsa::ScriptWrites(const std::string& hwName, std::deque<long> limits) {
  std::lock_guard lock(mutex_);
  if (Stream* stream = Find(hwName, false)) stream->writeLimits = std::move(limits);
}

void ScriptedAlsa::Stick(const std::string& hwName) {
  std::lock_guard lock(mutex_);
  Stream* stream = Find(hwName, false);
  if (stream == nullptr || stream->closed || stream->unplugged) return;
  static const char filler[4096] = {};
  while (write(stream->pipe[1], filler, sizeof filler) > 0) {
  }
}

void ScriptedAlsa::Unstick(const std::string& hwName) {
  std::lock_guard lock(mutex_);
  Stream* stream = Find(hwName, false);
  if (stream != nullptr && !stream->closed) DrainPipe(stream->pipe[0]);
}

void ScriptedAlsa::SetDrainResult(const std::string& hwName, int result) {
  std::lock_guard lock(mutex_);
  if (Stream* stream = Find(hwName, false)) stream->drainResult = result;
}

std::vector<uint8_t> ScriptedAlsa::Written(const std::string& hwName) const {
  std::lock_guard lock(mutex_);
  const Stream* stream = Find(hwName, false);
  return stream != nullptr ? stream->written : std::vector<uint8_t>{};
}

std::vector<size_t> ScriptedAlsa::Drains(const std::string& hwName) const {
  std::lock_guard lock(mutex_);
  const Stream* stream = Find(hwName, false);
  return stream != nullptr ? stream->drains : std::vector<size_t>{};
}

bool ScriptedAlsa::ClosedWithBytesPending(const std::string& hwName) const {
  std::lock_guard lock(mutex_);
  const Stream* stream = Find(hwName, false);
  return stream != nullptr && stream->closedWithBytesPending;
}

size_t ScriptedAlsa::WriteCalls(const std::string& hwName) const {
  std::lock_guard lock(mutex_);
  const Stream* stream = Find(hwName, false);
  return stream != nullptr ? stream->writeCalls : 0;
}

AlsaErrorHandler ScriptedAlsa::ErrorHandler() const {
  std::lock_guard lock(mutex_);
  return handler_;
}

int ScriptedAlsa::OpenControls() const {
  std::lock_guard lock(mutex_);
  return openControls_;
}

int ScriptedAlsa::LiveInfos() const {
  std::lock_guard lock(mutex_);
  return liveInfos_;
}

int ScriptedAlsa::OpenStreams() const {
  std::lock_guard lock(mutex_);
  return int(std::count_if(streams_.begin(), streams_.end(), [](const auto& stream) { return !stream->closed; }));
}

bool ScriptedAlsa::UsedAfterClose() const {
  std::lock_guard lock(mutex_);
  return usedAfterClose_;
}

void ScriptedAlsa::DrainPipe(int fd) {
  char bytes[4096];
  while (read(fd, bytes, sizeof bytes) > 0) {
  }
}

ScriptedAlsa::Stream* ScriptedAlsa::Use(AlsaRawMidi* rawmidi) {
  auto* stream = reinterpret_cast<Stream*>(rawmidi);
  if (stream->closed) usedAfterClose_ = true;
  return stream;
}

// --- Cards ---

int ScriptedAlsa::CardNext(int* card) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  int next = -1;
  for (const ScriptedCard& scripted : self.cards_) {
    if (scripted.number > *card && (next < 0 || scripted.number < next)) next = scripted.number;
  }
  *card = next;
  return 0;
}

int ScriptedAlsa::CtlOpen(AlsaCtl** ctl, const char* name, int /*mode*/) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  int number = -1;
  if (std::sscanf(name, "hw:%d", &number) != 1) return -EINVAL;
  for (ScriptedCard& card : self.cards_) {
    if (card.number != number) continue;
    if (card.ctlOpenError != 0) return card.ctlOpenError;
    *ctl = reinterpret_cast<AlsaCtl*>(&card);
    ++self.openControls_;
    return 0;
  }
  return -ENOENT;
}

int ScriptedAlsa::CtlClose(AlsaCtl* /*ctl*/) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  --self.openControls_;
  return 0;
}

int ScriptedAlsa::CtlNextDevice(AlsaCtl* ctl, int* device) {
  const auto* card = reinterpret_cast<const ScriptedCard*>(ctl);
  int next = -1;
  for (const ScriptedDevice& scripted : card->devices) {
    if (scripted.number > *device && (next < 0 || scripted.number < next)) next = scripted.number;
  }
  *device = next;
  return 0;
}

int ScriptedAlsa::CtlInfo(AlsaCtl* ctl, AlsaRawMidiInfo* info) {
  const auto* card = reinterpret_cast<const ScriptedCard*>(ctl);
  auto* record = reinterpret_cast<Info*>(info);
  for (const ScriptedDevice& device : card->devices) {
    if (device.number != int(record->device)) continue;
    const auto& subdevices = record->stream == kAlsaStreamInput ? device.inputs : device.outputs;
    if (record->subdevice >= subdevices.size()) return -ENXIO;
    record->name = device.name;
    record->subdeviceName = subdevices[record->subdevice];
    record->count = unsigned(subdevices.size());
    return 0;
  }
  return -ENXIO;
}

int ScriptedAlsa::InfoMalloc(AlsaRawMidiInfo** info) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  ++self.liveInfos_;
  *info = reinterpret_cast<AlsaRawMidiInfo*>(new Info);
  return 0;
}

void ScriptedAlsa::InfoFree(AlsaRawMidiInfo* info) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  --self.liveInfos_;
  delete reinterpret_cast<Info*>(info);
}

void ScriptedAlsa::InfoSetDevice(AlsaRawMidiInfo* info, unsigned device) {
  reinterpret_cast<Info*>(info)->device = device;
}

void ScriptedAlsa::InfoSetSubdevice(AlsaRawMidiInfo* info, unsigned subdevice) {
  reinterpret_cast<Info*>(info)->subdevice = subdevice;
}

void ScriptedAlsa::InfoSetStream(AlsaRawMidiInfo* info, int stream) { reinterpret_cast<Info*>(info)->stream = stream; }

unsigned ScriptedAlsa::InfoSubdevices(const AlsaRawMidiInfo* info) {
  return reinterpret_cast<const Info*>(info)->count;
}

const char* ScriptedAlsa::InfoName(const AlsaRawMidiInfo* info) {
  return reinterpret_cast<const Info*>(info)->name.c_str();
}

const char* ScriptedAlsa::InfoSubdeviceName(const AlsaRawMidiInfo* info) {
  return reinterpret_cast<const Info*>(info)->subdeviceName.c_str();
}

// --- Streams ---

int ScriptedAlsa::Open(AlsaRawMidi** in, AlsaRawMidi** out, const char* name, int mode) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  if ((in == nullptr) == (out == nullptr)) return -EINVAL;  // the backend opens one direction at a time
  if (auto it = self.openErrors_.find(name); it != self.openErrors_.end()) return it->second;
  auto stream = std::make_unique<Stream>();
  stream->hwName = name;
  stream->input = in != nullptr;
  stream->mode = mode;
  if (pipe2(stream->pipe, O_NONBLOCK | O_CLOEXEC) != 0) return -errno;
  auto* handle = reinterpret_cast<AlsaRawMidi*>(stream.get());
  (in != nullptr ? *in : *out) = handle;
  self.streams_.push_back(std::move(stream));
  return 0;
}

int ScriptedAlsa::Close(AlsaRawMidi* rawmidi) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  Stream* stream = self.Use(rawmidi);
  if (!stream->input && !stream->unplugged && !stream->closed) {
    pollfd fd = {stream->pipe[1], POLLOUT, 0};
    stream->closedWithBytesPending = poll(&fd, 1, 0) == 0;
  }
  stream->closed = true;
  stream->CloseEnd(0);
  stream->CloseEnd(1);
  return 0;
}

int ScriptedAlsa::NonBlock(AlsaRawMidi* rawmidi, int nonblock) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  Stream* stream = self.Use(rawmidi);
  if (nonblock) {
    stream->mode |= kAlsaRawMidiNonBlock;
  } else {
    stream->mode &= ~kAlsaRawMidiNonBlock;
  }
  return 0;
}

ssize_t ScriptedAlsa::ReadBytes(AlsaRawMidi* rawmidi, void* buffer, size_t size) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  Stream* stream = self.Use(rawmidi);
  if (stream->unplugged) return -ENODEV;
  if (stream->reads.empty()) {
    DrainPipe(stream->pipe[0]);
    return -EAGAIN;
  }
  Read& next = stream->reads.front();
  ssize_t result;
  if (next.error != 0) {
    result = next.error;
    stream->reads.pop_front();
  } else {
    const size_t length = std::min(size, next.bytes.size());
    std::memcpy(buffer, next.bytes.data(), length);
    next.bytes.erase(next.bytes.begin(), next.bytes.begin() + ptrdiff_t(length));
    if (next.bytes.empty()) stream->reads.pop_front();
    result = ssize_t(length);
  }
  if (stream->reads.empty()) DrainPipe(stream->pipe[0]);
  return result;
}

ssize_t ScriptedAlsa::WriteBytes(AlsaRawMidi* rawmidi, const void* buffer, size_t size) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  Stream* stream = self.Use(rawmidi);
  ++stream->writeCalls;
  if (stream->unplugged) return -ENODEV;
  size_t length = size;
  if (!stream->writeLimits.empty()) {
    // The script comes first, then a stuck output (its pipe is full) takes nothing.
    const long limit = stream->writeLimits.front();
    stream->writeLimits.pop_front();
    if (limit < 0) return limit;
    length = std::min(size, size_t(limit));
  } else {
    pollfd fd = {stream->pipe[1], POLLOUT, 0};
    if (poll(&fd, 1, 0) == 0) return -EAGAIN;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  stream->written.insert(stream->written.end(), bytes, bytes + length);
  return ssize_t(length);
}

int ScriptedAlsa::Drain(AlsaRawMidi* rawmidi) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  Stream* stream = self.Use(rawmidi);
  if (stream->unplugged) return -ENODEV;
  stream->drains.push_back(stream->written.size());
  return stream->drainResult;
}

int ScriptedAlsa::Drop(AlsaRawMidi* rawmidi) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  Stream* stream = self.Use(rawmidi);
  if (stream->unplugged) return -ENODEV;
  // What the device had not taken is gone: the stream has room again.
  if (!stream->input) DrainPipe(stream->pipe[0]);
  return 0;
}

int ScriptedAlsa::PollCount(AlsaRawMidi* rawmidi) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  self.Use(rawmidi);
  return 1;
}

int ScriptedAlsa::PollDescriptors(AlsaRawMidi* rawmidi, pollfd* fds, unsigned space) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  Stream* stream = self.Use(rawmidi);
  if (space < 1) return 0;
  fds[0] = {stream->PollFd(), short(stream->input ? POLLIN : POLLOUT), 0};
  return 1;
}

int ScriptedAlsa::PollRevents(AlsaRawMidi* rawmidi, pollfd* fds, unsigned count, unsigned short* revents) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  self.Use(rawmidi);
  if (count < 1) return -EINVAL;
  *revents = static_cast<unsigned short>(fds[0].revents);
  return 0;
}

int ScriptedAlsa::SetErrorHandler(AlsaErrorHandler handler) {
  ScriptedAlsa& self = Current();
  std::lock_guard lock(self.mutex_);
  self.handler_ = handler;
  return 0;
}

const char* ScriptedAlsa::StrError(int err) {
  const char* text = strerrordesc_np(err < 0 ? -err : err);
  return text != nullptr ? text : "Unknown error";
}

}  // namespace r9::test
