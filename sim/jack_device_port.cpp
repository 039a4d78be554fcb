#include "sim/jack_device_port.h"

#include <chrono>
#include <vector>

#include "platform/jack/jack_midi_client.h"
#include "platform/midi_stream_parser.h"

namespace r9 {

std::unique_ptr<JackDevicePort> JackDevicePort::Open(const std::string& clientName, const std::string& inPortName,
                                                     const std::string& outPortName, Receiver receiver,
                                                     std::string* error) {
  std::unique_ptr<JackMidiClient> client = JackMidiClient::Open(clientName, error);
  if (!client) return nullptr;
  if (!client->AddInputPort(inPortName) || !client->AddOutputPort(outPortName)) {
    if (error) *error = "the JACK server refused the ports '" + inPortName + "' and '" + outPortName + "'";
    return nullptr;
  }
  client->EnableInput(true);
  return std::unique_ptr<JackDevicePort>(new JackDevicePort(std::move(client), std::move(receiver)));
}

JackDevicePort::JackDevicePort(std::unique_ptr<JackMidiClient> client, Receiver receiver)
    : client_(std::move(client)), receiver_(std::move(receiver)) {
  reader_ = std::thread([this] { ReadLoop(); });
}

JackDevicePort::~JackDevicePort() {
  stop_.store(true);
  client_->WakeReader();
  reader_.join();
  client_.reset();
}

const std::string& JackDevicePort::ClientName() const { return client_->Name(); }

bool JackDevicePort::Send(const uint8_t* bytes, size_t length) {
  return client_->Send(bytes, length, &stop_) == JackMidiClient::SendResult::kWritten;
}

void JackDevicePort::Settle() {
  // An empty message goes through the output queue like any other: once three of them have been
  // taken, the period that wrote the last real message is over and the next one has begun.
  for (int i = 0; i < 3 && !ServerGone(); ++i) client_->Send(nullptr, 0, &stop_, std::chrono::milliseconds(500));
}

bool JackDevicePort::ServerGone() const { return client_->ServerGone(); }

uint64_t JackDevicePort::InputOverflows() const { return client_->InputOverflows(); }

uint64_t JackDevicePort::InputEvents() const { return client_->InputEvents(); }

void JackDevicePort::ReadLoop() {
  MidiStreamParser parser;
  std::vector<uint8_t> sysEx;
  std::vector<uint8_t> buffer(8192);
  while (!stop_.load()) {
    const size_t n = client_->ReadInput(buffer.data(), buffer.size(), std::chrono::milliseconds(50));
    if (n == 0 && client_->ServerGone()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (size_t i = 0; i < n; ++i) {
      const uint8_t byte = buffer[i];
      const ParsedByte parsed = parser.Feed(byte);
      if (parsed.endsOpenSysEx && !sysEx.empty()) {
        // Cut off without its F7: the device sees what came, and can tell it is not a frame.
        if (receiver_) receiver_(sysEx.data(), sysEx.size());
        sysEx.clear();
      }
      if (parsed.kind == ParsedByte::Kind::kSysExByte) {
        sysEx.push_back(byte);
        if (parsed.completesSysEx) {
          if (receiver_) receiver_(sysEx.data(), sysEx.size());
          sysEx.clear();
        }
      } else if (parsed.kind == ParsedByte::Kind::kShort) {
        uint8_t message[3];
        const int length = ShortMessageLength(uint8_t(parsed.shortMessage & 0xFF));
        for (int k = 0; k < length && k < 3; ++k) message[k] = uint8_t(parsed.shortMessage >> (8 * k));
        if (receiver_ && length > 0) receiver_(message, size_t(length));
      }
    }
  }
}

}  // namespace r9
