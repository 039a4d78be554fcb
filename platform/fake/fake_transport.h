// A transport whose ports and link a test controls: it lists the ports it is given, hands the
// bytes a test delivers to the open input's sink, records what is sent, and can make sends fail
// or block until they are interrupted.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi_transport.h"

namespace r9::test {

class FakeTransport final : public MidiTransport {
 public:
  enum class Link { kTakes, kFails, kBlocks };

  explicit FakeTransport(std::vector<TransportPort> ports, const char* name = "fake")
      : name_(name), ports_(std::move(ports)) {}

  void SetPorts(std::vector<TransportPort> ports) {
    std::lock_guard lock(state_->mutex);
    ports_ = std::move(ports);
  }
  void SetLink(Link link) {
    std::lock_guard lock(state_->mutex);
    state_->link = link;
  }
  void SetListProblem(TransportError problem) {
    std::lock_guard lock(state_->mutex);
    listProblem_ = std::move(problem);
  }
  // Hands bytes to the open input of port id; false when it is not open.
  bool Deliver(const std::string& id, const std::vector<uint8_t>& bytes) {
    TransportSink sink;
    {
      std::lock_guard lock(state_->mutex);
      auto it = state_->sinks.find(id);
      if (it == state_->sinks.end()) return false;
      sink = it->second;
    }
    sink(bytes.data(), bytes.size());
    return true;
  }
  // What was sent to port id, as one byte stream.
  std::vector<uint8_t> Sent(const std::string& id) {
    std::lock_guard lock(state_->mutex);
    return state_->sent[id];
  }
  std::vector<std::string> Opened() {
    std::lock_guard lock(state_->mutex);
    return state_->opened;
  }

  const char* Name() const override { return name_; }
  std::vector<TransportPort> List(bool, TransportError* problem) override {
    std::lock_guard lock(state_->mutex);
    *problem = listProblem_;
    return ports_;
  }
  std::unique_ptr<TransportInput> OpenInput(const TransportPort& port, TransportSink sink,
                                            TransportError* error) override {
    std::lock_guard lock(state_->mutex);
    if (!Listed(port, error)) return nullptr;
    state_->sinks[port.id] = std::move(sink);
    state_->opened.push_back("in " + port.id);
    return std::make_unique<Input>(state_, port.id);
  }
  std::unique_ptr<TransportOutput> OpenOutput(const TransportPort& port, TransportError* error) override {
    std::lock_guard lock(state_->mutex);
    if (!Listed(port, error)) return nullptr;
    state_->opened.push_back("out " + port.id);
    return std::make_unique<Output>(state_, port.id);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    Link link = Link::kTakes;
    std::map<std::string, TransportSink> sinks;
    std::map<std::string, std::vector<uint8_t>> sent;
    std::vector<std::string> opened;
  };
  struct Input final : TransportInput {
    Input(std::shared_ptr<State> state, std::string id) : state(std::move(state)), id(std::move(id)) {}
    ~Input() override {
      std::lock_guard lock(state->mutex);
      state->sinks.erase(id);
    }
    std::shared_ptr<State> state;
    std::string id;
  };
  struct Output final : TransportOutput {
    Output(std::shared_ptr<State> state, std::string id) : state(std::move(state)), id(std::move(id)) {}
    TransportError Send(const uint8_t* bytes, size_t length, std::chrono::milliseconds bound) override {
      std::unique_lock lock(state->mutex);
      const uint64_t seen = interrupts;
      if (state->link == Link::kBlocks &&
          !state->wake.wait_for(lock, bound, [&] { return closed || interrupts != seen; }))
        return {MMSYSERR_ERROR, "send timed out"};
      if (closed || interrupts != seen) return {MMSYSERR_ERROR, "send abandoned"};
      if (state->link == Link::kFails) return {MMSYSERR_NODRIVER, "the link failed"};
      state->sent[id].insert(state->sent[id].end(), bytes, bytes + length);
      return {};
    }
    void Interrupt() override {
      std::lock_guard lock(state->mutex);
      ++interrupts;
      state->wake.notify_all();
    }
    void Close() override {
      std::lock_guard lock(state->mutex);
      closed = true;
      state->wake.notify_all();
    }
    std::shared_ptr<State> state;
    std::string id;
    uint64_t interrupts = 0;  // under state->mutex
    bool closed = false;      // under state->mutex
  };

  bool Listed(const TransportPort& port, TransportError* error) {
    for (const TransportPort& p : ports_)
      if (p.id == port.id) return true;
    *error = {MMSYSERR_BADDEVICEID, "cannot open " + port.name + ": the port has gone"};
    return false;
  }

  const char* const name_;
  const std::shared_ptr<State> state_ = std::make_shared<State>();
  std::vector<TransportPort> ports_;  // under state_->mutex
  TransportError listProblem_;        // under state_->mutex
};

}  // namespace r9::test
