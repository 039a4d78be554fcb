#include "platform/jack/jack_midi_client.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/backend_log.h"

namespace r9 {
namespace {

void InstallLogFunctions() {
  // libjack prints to stderr unless told otherwise, also when no server runs; its messages
  // belong in the backend log, not on the user's terminal.
  static std::once_flag once;
  std::call_once(once, [] {
    jack_set_error_function([](const char* text) { LogBackendMessage("jack", text); });
    jack_set_info_function([](const char* text) { LogBackendMessage("jack", text); });
  });
}

bool TimedWait(sem_t* semaphore, std::chrono::milliseconds wait) {
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  const long long nanos = deadline.tv_nsec + (long long)(wait.count() % 1000) * 1000000;
  deadline.tv_sec += time_t(wait.count() / 1000 + nanos / 1000000000);
  deadline.tv_nsec = long(nanos % 1000000000);
  while (sem_timedwait(semaphore, &deadline) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<JackMidiClient> JackMidiClient::Open(const std::string& name, std::string* error) {
  InstallLogFunctions();
  jack_status_t status{};
  jack_client_t* client = jack_client_open(name.c_str(), JackNoStartServer, &status);
  if (client == nullptr) {
    if (error)
      *error = (status & JackServerFailed) ? "no JACK server is running" : "the JACK server refused the client";
    return nullptr;
  }
  std::unique_ptr<JackMidiClient> self(new JackMidiClient(client));
  jack_set_process_callback(client, &JackMidiClient::Process, self.get());
  jack_set_xrun_callback(client, &JackMidiClient::OnXrun, self.get());
  jack_on_info_shutdown(
      client, [](jack_status_t code, const char* reason, void* arg) { OnShutdown(int(code), reason, arg); },
      self.get());
  if (jack_activate(client) != 0) {
    if (error) *error = "the JACK server did not activate the client";
    return nullptr;  // the destructor closes the client
  }
  return self;
}

JackMidiClient::JackMidiClient(_jack_client* client) : client_(client) {
  sem_init(&inputReady_, 0, 0);
  sem_init(&outputProgress_, 0, 0);
  const char* given = jack_get_client_name(client);
  name_ = given ? given : "";
}

JackMidiClient::~JackMidiClient() {
  // Closing deactivates first: no process callback runs once it has returned.
  jack_client_close(client_);
  sem_destroy(&inputReady_);
  sem_destroy(&outputProgress_);
}

void JackMidiClient::OnShutdown(int /*status*/, const char* reason, void* arg) {
  auto* self = static_cast<JackMidiClient*>(arg);
  LogBackendMessage("jack", reason ? reason : "the server went away");
  self->serverGone_.store(true);
  sem_post(&self->inputReady_);
  sem_post(&self->outputProgress_);
}

int JackMidiClient::OnXrun(void* arg) {
  static_cast<JackMidiClient*>(arg)->xruns_.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

namespace {

// How many of counter's events are new since reported; two threads never report one twice.
uint64_t TakeNew(const std::atomic<uint64_t>& counter, std::atomic<uint64_t>& reported) {
  const uint64_t now = counter.load();
  uint64_t before = reported.load();
  while (before < now && !reported.compare_exchange_weak(before, now)) {
  }
  return before < now ? now - before : 0;
}

}  // namespace

void JackMidiClient::ReportCounts() {
  for (uint64_t n = TakeNew(xruns_, xrunsReported_); n > 0; --n) LogBackendMessage("jack", "xrun");
  if (const uint64_t lost = TakeNew(inputOverflows_, overflowsReported_)) {
    const std::string text = "input ring full: " + std::to_string(lost) + " event(s) lost";
    LogBackendMessage("jack", text.c_str());
  }
}

bool JackMidiClient::AddInputPort(const std::string& shortName) {
  std::lock_guard lock(portMutex_);
  if (inPort_.load() != nullptr) return true;
  if (ServerGone()) return false;
  jack_port_t* port = jack_port_register(client_, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  inPort_.store(port);
  return port != nullptr;
}

bool JackMidiClient::AddOutputPort(const std::string& shortName) {
  std::lock_guard lock(portMutex_);
  if (outPort_.load() != nullptr) return true;
  if (ServerGone()) return false;
  jack_port_t* port = jack_port_register(client_, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  outPort_.store(port);
  return port != nullptr;
}

std::string JackMidiClient::InputPortName() const {
  jack_port_t* port = inPort_.load();
  return port ? jack_port_name(port) : "";
}

std::string JackMidiClient::OutputPortName() const {
  jack_port_t* port = outPort_.load();
  return port ? jack_port_name(port) : "";
}

std::vector<JackMidiClient::Port> JackMidiClient::OtherPorts(bool theirOutputs) {
  std::vector<Port> ports;
  if (ServerGone()) return ports;
  const char** names =
      jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, theirOutputs ? JackPortIsOutput : JackPortIsInput);
  if (names == nullptr) return ports;
  for (const char** name = names; *name != nullptr; ++name) {
    jack_port_t* port = jack_port_by_name(client_, *name);
    if (port == nullptr || jack_port_is_mine(client_, port)) continue;
    const std::string full = *name;
    const char* shortName = jack_port_short_name(port);
    const size_t shortLength = shortName ? std::strlen(shortName) : 0;
    // "client:port": the client's name is what precedes the port's own name and the colon
    // (a port's name may hold a colon of its own).
    std::string client = full.size() > shortLength ? full.substr(0, full.size() - shortLength - 1) : full;
    if (client.empty()) client = full.substr(0, full.find(':'));
    ports.push_back({full, client});
  }
  jack_free(names);
  return ports;
}

bool JackMidiClient::Connect(const std::string& source, const std::string& destination) {
  if (ServerGone()) return false;
  const int result = jack_connect(client_, source.c_str(), destination.c_str());
  return result == 0 || result == EEXIST;
}

bool JackMidiClient::Disconnect(const std::string& source, const std::string& destination) {
  if (ServerGone()) return false;
  return jack_disconnect(client_, source.c_str(), destination.c_str()) == 0;
}

void JackMidiClient::EnableInput(bool enabled) {
  if (enabled) inRing_.Consume(inRing_.ReadSpace());  // the reader side: no process write is torn
  inputEnabled_.store(enabled);
}

size_t JackMidiClient::ReadInput(uint8_t* buffer, size_t size, std::chrono::milliseconds wait) {
  if (inRing_.ReadSpace() == 0) {
    if (ServerGone()) return 0;
    TimedWait(&inputReady_, wait);
  }
  ReportCounts();
  return inRing_.Read(buffer, size);
}

void JackMidiClient::WakeReader() { sem_post(&inputReady_); }

bool JackMidiClient::WaitOutputProgress(std::chrono::milliseconds wait) { return TimedWait(&outputProgress_, wait); }

JackMidiClient::SendResult JackMidiClient::Send(const uint8_t* bytes, size_t length, const std::atomic<bool>* abort,
                                                std::chrono::milliseconds timeout) {
  ReportCounts();
  if (length > MaxMessageLength()) return SendResult::kTooLong;
  std::lock_guard lock(sendMutex_);
  if (ServerGone() || outPort_.load() == nullptr) return SendResult::kServerGone;
  const uint32_t header = uint32_t(length);
  staging_.resize(sizeof header + length);
  std::memcpy(staging_.data(), &header, sizeof header);
  if (length > 0) std::memcpy(staging_.data() + sizeof header, bytes, length);
  auto aborted = [abort] { return abort != nullptr && abort->load(); };

  // Room in the ring: only earlier messages that are still going out can take it.
  auto lastMove = std::chrono::steady_clock::now();
  while (!outRing_.Write(staging_.data(), staging_.size())) {
    if (ServerGone()) return SendResult::kServerGone;
    if (aborted()) return SendResult::kAborted;
    if (std::chrono::steady_clock::now() - lastMove > timeout) return SendResult::kTimedOut;
    WaitOutputProgress(std::chrono::milliseconds(5));
  }
  const uint64_t seq = ++queuedSeq_;
  lastMove = std::chrono::steady_clock::now();
  uint64_t written = writtenSeq_.load(std::memory_order_acquire);
  while (written < seq) {
    if (ServerGone()) return SendResult::kServerGone;
    if (aborted()) {
      DiscardOutputLocked(seq);
      return SendResult::kAborted;
    }
    if (std::chrono::steady_clock::now() - lastMove > timeout) {
      DiscardOutputLocked(seq);
      return SendResult::kTimedOut;
    }
    WaitOutputProgress(std::chrono::milliseconds(5));
    const uint64_t now = writtenSeq_.load(std::memory_order_acquire);
    if (now != written) lastMove = std::chrono::steady_clock::now();
    written = now;
  }
  return SendResult::kWritten;
}

const char* JackMidiClient::ResultText(SendResult result) {
  switch (result) {
    case SendResult::kWritten:
      return "written";
    case SendResult::kAborted:
      return "given up at the close";
    case SendResult::kServerGone:
      return "the server went away";
    case SendResult::kTooLong:
      return "longer than the output ring";
    case SendResult::kTimedOut:
      return "timed out: the server took nothing";
  }
  return "unknown";
}

void JackMidiClient::DiscardOutputLocked(uint64_t seq) {
  discardUpTo_.store(seq, std::memory_order_release);
  // The process callback owns the reading end; it drops the queue on its next period. A later
  // message must not be queued before that, or it would be dropped with the rest.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (writtenSeq_.load(std::memory_order_acquire) < seq && !ServerGone() &&
         std::chrono::steady_clock::now() < deadline)
    WaitOutputProgress(std::chrono::milliseconds(5));
}

// --- The real-time side: no lock, no allocation, no wait ------------------------------------

int JackMidiClient::Process(uint32_t frames, void* arg) {
  auto* self = static_cast<JackMidiClient*>(arg);
  if (jack_port_t* in = self->inPort_.load(std::memory_order_acquire)) {
    self->ProcessInput(jack_port_get_buffer(in, frames));
  }
  if (jack_port_t* out = self->outPort_.load(std::memory_order_acquire)) {
    void* buffer = jack_port_get_buffer(out, frames);
    jack_midi_clear_buffer(buffer);
    self->ProcessOutput(buffer);
  }
  return 0;
}

void JackMidiClient::ProcessInput(void* buffer) {
  if (buffer == nullptr || !inputEnabled_.load(std::memory_order_relaxed)) return;
  const uint32_t count = jack_midi_get_event_count(buffer);
  bool any = false;
  for (uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0) continue;
    if (inRing_.Write(event.buffer, event.size)) {
      any = true;
      inputEvents_.fetch_add(1, std::memory_order_relaxed);
    } else {
      inputOverflows_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  if (any) sem_post(&inputReady_);
}

void JackMidiClient::ProcessOutput(void* buffer) {
  bool progress = false;
  const uint64_t discard = discardUpTo_.load(std::memory_order_acquire);
  if (discard > writtenSeq_.load(std::memory_order_relaxed)) {
    outRing_.Consume(outRing_.ReadSpace());
    remaining_ = 0;
    writtenSeq_.store(discard, std::memory_order_release);
    progress = true;
  }
  if (buffer == nullptr) return;
  bool wroteEvent = false;
  for (;;) {
    if (remaining_ == 0) {
      uint32_t length = 0;
      if (outRing_.Peek(&length, sizeof length) < sizeof length) break;
      const size_t room = jack_midi_max_event_size(buffer);
      // A message that would fit a fresh buffer waits for the next period rather than being cut
      // behind the events already written in this one.
      if (length > room && wroteEvent) break;
      outRing_.Consume(sizeof length);
      remaining_ = length;
      if (length == 0) {
        writtenSeq_.fetch_add(1, std::memory_order_release);
        progress = true;
        continue;
      }
    }
    const size_t room = jack_midi_max_event_size(buffer);
    const size_t n = remaining_ < room ? remaining_ : room;
    if (n == 0) break;
    jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, n);
    if (data == nullptr) break;
    outRing_.Read(data, n);
    remaining_ -= n;
    wroteEvent = true;
    if (remaining_ > 0) break;  // the buffer is full; the rest goes in the next period
    writtenSeq_.fetch_add(1, std::memory_order_release);
    progress = true;
  }
  if (progress) sem_post(&outputProgress_);
}

}  // namespace r9
