#include "platform/alsa/alsa_ports.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "platform/backend_log.h"

namespace r9 {

namespace {

constexpr short kErrorEvents = POLLERR | POLLHUP | POLLNVAL;

// The stream's own poll descriptors; empty when it has none.
std::vector<pollfd> PollDescriptors(const AlsaLib& lib, AlsaRawMidi* rawmidi) {
  const int count = lib.rawmidi_poll_descriptors_count(rawmidi);
  if (count <= 0) return {};
  std::vector<pollfd> fds(static_cast<size_t>(count));
  const int filled = lib.rawmidi_poll_descriptors(rawmidi, fds.data(), unsigned(count));
  fds.resize(filled > 0 ? size_t(filled) : 0);
  return fds;
}

// What the stream's descriptors report, through the library (it knows what they mean).
unsigned short StreamEvents(const AlsaLib& lib, AlsaRawMidi* rawmidi, std::vector<pollfd>& fds) {
  unsigned short revents = 0;
  if (lib.rawmidi_poll_descriptors_revents(rawmidi, fds.data(), unsigned(fds.size()), &revents) < 0) return POLLERR;
  return revents;
}

bool Retry(ssize_t result) { return result == -EAGAIN || result == -EINTR || result == 0; }

}  // namespace

// --- WakePipe ---

WakePipe::WakePipe() {
  if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
}

WakePipe::~WakePipe() {
  if (fds_[0] >= 0) close(fds_[0]);
  if (fds_[1] >= 0) close(fds_[1]);
}

void WakePipe::Signal() {
  const char byte = 1;
  // A full pipe already wakes the poll.
  [[maybe_unused]] const ssize_t written = write(fds_[1], &byte, 1);
}

void WakePipe::Drain() {
  char bytes[64];
  while (read(fds_[0], bytes, sizeof bytes) > 0) {
  }
}

// --- Input ---

AlsaInPort::AlsaInPort(const AlsaLib& lib, AlsaRawMidi* rawmidi, HMIDIIN handle, MidiInProcType callback,
                       uintptr_t instance)
    : lib_(lib), rawmidi_(rawmidi), driver_(std::make_unique<MidiInputEmulation>(handle, callback, instance)) {
  if (wake_.Valid()) reader_ = std::thread([this] { Read(); });
}

AlsaInPort::~AlsaInPort() { Shutdown(); }

MMRESULT AlsaInPort::Close() {
  const MMRESULT result = driver_->Close();
  if (result != MMSYSERR_NOERROR) return result;
  Shutdown();
  return MMSYSERR_NOERROR;
}

void AlsaInPort::Shutdown() {
  if (rawmidi_ == nullptr) return;
  if (reader_.joinable()) {
    wake_.Signal();
    reader_.join();
  }
  lib_.rawmidi_close(rawmidi_);
  rawmidi_ = nullptr;
  // The emulation stays until the port goes: a late call on the handle finds it closed.
}

void AlsaInPort::Read() {
  std::vector<pollfd> fds = PollDescriptors(lib_, rawmidi_);
  const size_t streamFds = fds.size();
  fds.push_back({wake_.ReadEnd(), POLLIN, 0});
  std::vector<pollfd> streamOnly(streamFds);
  uint8_t buffer[1024];
  for (;;) {
    for (pollfd& fd : fds) fd.revents = 0;
    if (poll(fds.data(), nfds_t(fds.size()), -1) < 0) {
      if (errno == EINTR) continue;
      error_.store(-errno);
      return;
    }
    if (fds.back().revents != 0) return;  // the port is closing
    std::copy(fds.begin(), fds.begin() + ptrdiff_t(streamFds), streamOnly.begin());
    const unsigned short events = StreamEvents(lib_, rawmidi_, streamOnly);
    if (!(events & POLLIN)) {
      if (events & kErrorEvents) {
        error_.store(-ENODEV);  // unplugged: the stream reports an error and never data again
        return;
      }
      continue;
    }
    // Everything there is, then back to the poll.
    for (;;) {
      const ssize_t got = lib_.rawmidi_read(rawmidi_, buffer, sizeof buffer);
      if (Retry(got)) break;
      if (got < 0) {
        error_.store(int(got));
        return;
      }
      if (!driver_->Feed(buffer, size_t(got))) return;  // closed meanwhile
    }
  }
}

// --- Output ---

AlsaOutPort::AlsaOutPort(const AlsaLib& lib, AlsaRawMidi* rawmidi)
    : lib_(lib), rawmidi_(rawmidi), streamFds_(PollDescriptors(lib, rawmidi)) {
  driver_ =
      std::make_unique<MidiOutputEmulation>([this](std::vector<uint8_t> message) { return Write(std::move(message)); });
}

AlsaOutPort::~AlsaOutPort() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  released_.notify_all();
  wake_.Signal();
  driver_.reset();  // ends its thread, which may be inside Write
  // What an abandoned send left in the stream's buffer is dropped: closing would otherwise
  // wait until a device that stopped taking bytes has taken it.
  lib_.rawmidi_drop(rawmidi_);
  lib_.rawmidi_close(rawmidi_);
}

void AlsaOutPort::Fail(int err) {
  int expected = 0;
  error_.compare_exchange_strong(expected, err < 0 ? err : -EIO);
}

bool AlsaOutPort::Probe() {
  if (error_.load() != 0) return false;
  std::vector<pollfd> fds = streamFds_;
  if (fds.empty()) return true;
  for (pollfd& fd : fds) fd.revents = 0;
  if (poll(fds.data(), nfds_t(fds.size()), 0) <= 0) return true;
  if (StreamEvents(lib_, rawmidi_, fds) & kErrorEvents) {
    Fail(-ENODEV);
    return false;
  }
  return true;
}

MMRESULT AlsaOutPort::LongMsg(MIDIHDR* header) {
  if (!Probe()) return MMSYSERR_NODRIVER;
  return driver_->LongMsg(header);
}

MMRESULT AlsaOutPort::ShortMsg(uint32_t message) {
  if (!Probe()) return MMSYSERR_NODRIVER;
  return driver_->ShortMsg(message);
}

MMRESULT AlsaOutPort::Reset() {
  {
    std::lock_guard lock(mutex_);
    ++resets_;
  }
  released_.notify_all();
  wake_.Signal();
  return driver_->Reset();
}

MMRESULT AlsaOutPort::Close() {
  // A write waiting for room or held after a failure must let the emulation's thread go, or
  // its close would wait for it forever. The host closes only once its sends have ended.
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  released_.notify_all();
  wake_.Signal();
  const MMRESULT result = driver_->Close();
  if (result != MMSYSERR_NOERROR) {
    std::lock_guard lock(mutex_);
    closing_ = false;
  }
  return result;
}

bool AlsaOutPort::Abandoned(uint64_t resets) {
  std::lock_guard lock(mutex_);
  return closing_ || resets_ != resets;
}

bool AlsaOutPort::WaitWritable(uint64_t resets, std::chrono::steady_clock::time_point deadline) {
  std::vector<pollfd> fds = streamFds_;
  for (pollfd& fd : fds) fd.events |= POLLOUT;
  fds.push_back({wake_.ReadEnd(), POLLIN, 0});
  for (;;) {
    if (Abandoned(resets)) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    for (pollfd& fd : fds) fd.revents = 0;
    // The timeout also bounds a poll on a stream without descriptors.
    const int ready = poll(fds.data(), nfds_t(fds.size()), int(std::min<long long>(left.count(), 100)));
    if (ready < 0 && errno != EINTR) {
      Fail(-errno);
      return false;
    }
    if (fds.back().revents != 0) wake_.Drain();
    // Room may come with the reset that abandons the message: the reset wins.
    if (Abandoned(resets)) return false;
    if (ready <= 0 || streamFds_.empty()) return true;
    std::vector<pollfd> streamFds(fds.begin(), fds.end() - 1);
    const unsigned short events = StreamEvents(lib_, rawmidi_, streamFds);
    if (events & kErrorEvents) {
      Fail(-ENODEV);
      return false;
    }
    if (events & POLLOUT) return true;
  }
}

bool AlsaOutPort::Write(std::vector<uint8_t> message) {
  uint64_t resets;
  {
    std::lock_guard lock(mutex_);
    if (closing_) return false;
    resets = resets_;
  }
  if (error_.load() != 0) return false;
  // The message counts as out once its last byte is in the stream's buffer: the kernel passes
  // it on. No drain: it may wait for seconds on a device that stopped taking bytes, and neither
  // the wake pipe nor non-blocking mode cuts it short. Waits for room end with the deadline,
  // or at once with a reset or the close.
  const auto deadline = std::chrono::steady_clock::now() + kWriteDeadline;
  size_t done = 0;
  while (done < message.size()) {
    const ssize_t written = lib_.rawmidi_write(rawmidi_, message.data() + done, message.size() - done);
    if (written > 0) {
      done += size_t(written);
      continue;
    }
    if (!Retry(written)) {
      Fail(int(written));
      LogBackendMessage("alsa", (std::string("write failed: ") + lib_.strerror(int(written))).c_str());
      return false;
    }
    // Abandoned half-way, the device gets a SysEx without its end; the next status byte
    // (the next frame's F0) ends it there.
    if (!WaitWritable(resets, deadline)) {
      if (std::chrono::steady_clock::now() >= deadline)
        LogBackendMessage("alsa", "write timed out: the device took nothing");
      return false;
    }
  }
  return error_.load() == 0;
}

}  // namespace r9
