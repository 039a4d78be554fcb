#include "platform/alsa/alsa_ports.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>


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

AlsaInPort::AlsaInPort(const AlsaLib& lib, AlsaRawMidi* rawmidi, TransportSink sink, std::string what)
    : lib_(lib), rawmidi_(rawmidi), sink_(std::move(sink)), what_(std::move(what)) {
  if (wake_.Valid()) reader_ = std::thread([this] { Read(); });
}

AlsaInPort::~AlsaInPort() {
  if (reader_.joinable()) {
    wake_.Signal();
    reader_.join();
  }
  lib_.rawmidi_close(rawmidi_);
}

TransportError AlsaInPort::Failure() const {
  const int err = error_.load();
  if (err == 0) return {};
  return {MMSYSERR_NODRIVER, what_ + ": " + lib_.strerror(err)};
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
      sink_(buffer, size_t(got));
    }
  }
}

// --- Output ---

AlsaOutPort::AlsaOutPort(const AlsaLib& lib, AlsaRawMidi* rawmidi, std::string what)
    : lib_(lib), rawmidi_(rawmidi), what_(std::move(what)), streamFds_(PollDescriptors(lib, rawmidi)) {}

AlsaOutPort::~AlsaOutPort() {
  // No send is in progress any more (the driver over the port has ended its thread). What an
  // abandoned send left in the stream's buffer is dropped: closing would otherwise wait until
  // a device that stopped taking bytes has taken it.
  lib_.rawmidi_drop(rawmidi_);
  lib_.rawmidi_close(rawmidi_);
}

void AlsaOutPort::Fail(int err) const {
  int expected = 0;
  error_.compare_exchange_strong(expected, err < 0 ? err : -EIO);
}

TransportError AlsaOutPort::Failure() const {
  if (Probe()) return {};
  return {MMSYSERR_NODRIVER, what_ + ": " + lib_.strerror(error_.load())};
}

bool AlsaOutPort::Probe() const {
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

void AlsaOutPort::Interrupt() {
  {
    std::lock_guard lock(mutex_);
    ++interrupts_;
  }
  wake_.Signal();
}

void AlsaOutPort::Close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.Signal();
}

bool AlsaOutPort::Abandoned(uint64_t interrupts) {
  std::lock_guard lock(mutex_);
  return closing_ || interrupts_ != interrupts;
}

bool AlsaOutPort::WaitWritable(uint64_t interrupts, std::chrono::steady_clock::time_point deadline) {
  std::vector<pollfd> fds = streamFds_;
  for (pollfd& fd : fds) fd.events |= POLLOUT;
  fds.push_back({wake_.ReadEnd(), POLLIN, 0});
  for (;;) {
    if (Abandoned(interrupts)) return false;
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
    // Room may come with the interrupt that abandons the message: the interrupt wins.
    if (Abandoned(interrupts)) return false;
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

TransportError AlsaOutPort::Send(const uint8_t* bytes, size_t length, std::chrono::milliseconds bound) {
  uint64_t interrupts;
  {
    std::lock_guard lock(mutex_);
    if (closing_) return {MMSYSERR_ERROR, "send abandoned"};
    interrupts = interrupts_;
  }
  if (const TransportError failure = Failure()) return failure;
  // Waits for room end with the deadline, or at once with an interrupt or the close.
  const auto deadline = std::chrono::steady_clock::now() + bound;
  size_t done = 0;
  while (done < length) {
    const ssize_t written = lib_.rawmidi_write(rawmidi_, bytes + done, length - done);
    if (written > 0) {
      done += size_t(written);
      continue;
    }
    if (!Retry(written)) {
      Fail(int(written));
      return {MMSYSERR_NODRIVER, "write failed: " + std::string(lib_.strerror(int(written)))};
    }
    // Abandoned half-way, the device gets a SysEx without its end; the next status byte
    // (the next frame's F0) ends it there.
    if (!WaitWritable(interrupts, deadline)) {
      if (error_.load() != 0) return Failure();
      if (std::chrono::steady_clock::now() >= deadline)
        return {MMSYSERR_ERROR, "write timed out: the device took nothing"};
      return {MMSYSERR_ERROR, "send abandoned"};
    }
  }
  if (error_.load() != 0) return Failure();
  return {};
}

}  // namespace r9
