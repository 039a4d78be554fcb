// A strict model of one R9 device on the far side of the MIDI cable.
//
// It holds an identity, the firmware update mode and a 4 MiB flash that starts erased, and it
// answers the host's frames the way the updater relies on: Identity Reply, Status frames,
// Acknowledge frames and Read replies, all built with the protocol's own builders. It checks
// everything the host sends and lists each protocol violation, so a test that drives a whole
// update can assert that the host behaved. Faults (dropped, refused, late, doubled or corrupt
// answers, a hung device) come from a seed or are aimed at given frames, and a timing model
// paces the answers when a demo wants realistic speed.
//
// Threads: OnHostMessage may run on any thread (the bus delivers on its own); every accessor
// takes the device's lock and returns a copy. Answers that are due at once are sent on the
// calling thread; delayed ones (flash times, late faults) leave from the device's scheduler
// thread, so the host is never blocked. Sends to the output never interleave.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/virtual_bus.h"
#include "sim/sim_options.h"
#include "sim/sim_random.h"

namespace r9 {

constexpr uint32_t kDeviceFlashSize = 0x400000;  // 4 MiB
constexpr uint32_t kDeviceEraseUnit = 0x1000;    // erase granularity, 4 KiB

// Failure codes of the device's Status frames. The host tells apart only 00 and 0B; 0B also
// answers an Erase, Write-block or Finish-update frame outside the update mode, and 01 a
// sub-command the host never sends.
constexpr uint8_t kDeviceStatusBadFrame = 0x02;   // wrong length, bad packing, bad selector
constexpr uint8_t kDeviceStatusBadCrc = 0x03;     // Write-block CRC mismatch
constexpr uint8_t kDeviceStatusBadRegion = 0x04;  // outside the flash, or not on 4 KiB boundaries
constexpr uint8_t kDeviceStatusNotErased = 0x05;  // block target holds other data
constexpr uint8_t kDeviceStatusInjected = 0x0E;   // an error fault
constexpr uint8_t kDeviceStatusRejected = 0x0D;   // a reject fault

struct ReceivedFrame {
  uint32_t index = 0;  // 1-based over every host frame
  HostFrameKind kind = HostFrameKind::kOther;
  std::vector<uint8_t> bytes;
};

// What the host is expected to send back for a frame the device sends on its own.
enum class ExpectedAnswer : uint8_t {
  kNone,           // replies (Status, Acknowledge, Read reply, Identity Reply) and request 03
  kStatusOk,       // maker requests 01, 04, 05
  kStatusRefused,  // any maker code the host does not handle; universal 06 other than 01, 02
  kHostIdentity,   // the Identity Request: the Host Identity Reply
};
ExpectedAnswer ExpectedAnswerTo(const uint8_t* frame, size_t length);

struct DeviceRequestRecord {
  std::vector<uint8_t> request;
  ExpectedAnswer expected = ExpectedAnswer::kNone;
  std::vector<uint8_t> answer;  // empty until the host has answered (always for kNone)
};

struct SimCounters {
  uint32_t framesReceived = 0;
  std::array<uint32_t, kHostFrameKindCount> framesByKind{};
  uint32_t acknowledgedWrites = 0;  // blocks written (or identically rewritten) and acknowledged
  uint32_t identicalRewrites = 0;   // a block resent over the same data: accepted, nothing changes
  uint32_t erasesDone = 0;
  uint32_t readsAnswered = 0;
  uint32_t reboots = 0;     // Finish-update frames that ended an update session
  uint32_t framesSent = 0;  // everything handed to the output, duplicates included
  uint32_t droppedReplies = 0;
  uint32_t lateReplies = 0;
  uint32_t duplicatedReplies = 0;
  uint32_t corruptedReadReplies = 0;  // by a corrupt fault or the preset-read setting
  uint32_t injectedErrors = 0;
  uint32_t rejectedFrames = 0;  // by a reject fault, after the frame's processing time
  uint32_t lostWrites = 0;      // blocks acknowledged but not written (a lose fault)
  uint32_t silencedFrames = 0;  // host frames received while hung

  uint32_t Of(HostFrameKind kind) const { return framesByKind[static_cast<size_t>(kind)]; }
};

using SimOutput = std::function<void(const uint8_t* bytes, size_t length)>;

// Timing model. Link speed and latency belong to the cable, so they go to the bus endpoint;
// the flash times are the device's own processing before it answers.
LinkTiming SimLinkTiming(const SimOptions& options);
double EraseMillis(const SimOptions& options, uint32_t size);  // rounded up to whole 4 KiB units
double WriteMillis(const SimOptions& options);                 // one Write-block frame

class R9Device {
 public:
  explicit R9Device(const SimOptions& options = SimOptions());
  ~R9Device();
  R9Device(const R9Device&) = delete;
  R9Device& operator=(const R9Device&) = delete;

  const SimOptions& Options() const { return options_; }

  // Where the device's frames go. Tests set a sink and call OnHostMessage directly; AttachToBus
  // sets the endpoint as the output.
  void SetOutput(SimOutput output);
  // One whole message from the host.
  void OnHostMessage(const uint8_t* bytes, size_t length);

  // Frames the device sends on its own; the host's answers are recorded in DeviceRequests().
  void SendIdentityRequest();
  void SendMakerRequest(uint8_t subCommand);  // F0 7D 00 <DeviceId> <subCommand> F7
  void SendDeviceFrame(const uint8_t* bytes, size_t length);

  // Attaches as the port pair portName (empty: the options' name) and sets the link timing.
  // Fails when the name is taken or the device is already attached.
  bool AttachToBus(VirtualMidiBus& bus, const std::string& portName = std::string());
  void Detach();

  // Accessors; each returns a copy taken under the device's lock.
  std::vector<uint8_t> Flash() const;
  std::vector<uint8_t> FlashBytes(uint32_t address, uint32_t length) const;  // clipped to the flash
  void LoadFlash(uint32_t address, const uint8_t* data, size_t length);      // preset content
  // The whole flash to and from a file; loading accepts only a file of exactly the flash's size.
  static bool LoadFlashFile(const std::string& path, std::vector<uint8_t>* flash);
  bool SaveFlashFile(const std::string& path) const;
  bool InUpdateMode() const;
  bool Hung() const;
  std::vector<ReceivedFrame> Frames() const;
  std::vector<std::vector<uint8_t>> SentFrames() const;  // in the order they left
  std::vector<std::string> Violations() const;
  std::vector<DeviceRequestRecord> DeviceRequests() const;
  SimCounters Counters() const;

  // Answers still waiting in the scheduler; WaitIdle returns true once none is left.
  size_t PendingReplies() const;
  bool WaitIdle(std::chrono::milliseconds timeout) const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Faults {
    bool drop = false, error = false, late = false, duplicate = false, corrupt = false, reject = false, lose = false,
         stale = false;
  };
  struct Answer {
    std::vector<uint8_t> bytes;  // empty: no answer
    double processingMillis = 0;
  };

  HostFrameKind Classify(const uint8_t* m, size_t n) const;
  bool CheckFrame(const uint8_t* m, size_t n, HostFrameKind kind, uint32_t index);
  Faults FaultsFor(HostFrameKind kind, uint32_t index, uint32_t kindIndex, const double draws[5]);
  Answer Act(const uint8_t* m, size_t n, HostFrameKind kind, uint32_t index, bool corruptRead);
  Answer Status(uint8_t status) const;
  Answer EnterUpdate();
  Answer Erase(const uint8_t* m, uint32_t index);
  Answer WriteBlock(const uint8_t* m, size_t n, uint32_t index);
  Answer Read(const uint8_t* m, uint32_t index, bool corrupt);
  Answer FinishUpdate(uint32_t index);
  void TakeHostAnswer(const uint8_t* m, size_t n, HostFrameKind kind, uint32_t index);
  void MarkErased(uint32_t begin, uint32_t end);
  bool InsideErased(uint32_t begin, uint32_t end) const;
  void Violation(uint32_t index, const std::string& what);
  void ScheduleLocked(std::vector<uint8_t> bytes, Clock::time_point due, bool inOrder);
  void Emit(const std::vector<uint8_t>& bytes);
  void SchedulerLoop();

  const SimOptions options_;

  mutable std::mutex mutex_;  // everything below except the output
  std::vector<uint8_t> flash_;
  bool inUpdateMode_ = false;
  bool identityAnswered_ = false;
  bool hung_ = false;
  bool presetFailedOnce_ = false;
  std::vector<std::pair<uint32_t, uint32_t>> erased_;  // merged [begin, end) since Enter-update
  SplitMix64 random_;
  std::vector<ReceivedFrame> frames_;
  std::vector<std::vector<uint8_t>> sent_;
  std::vector<std::string> violations_;
  std::vector<DeviceRequestRecord> requests_;
  std::deque<size_t> awaitingAnswer_;  // indexes into requests_, oldest first
  std::vector<uint8_t> staleCopy_;     // a stale fault's copy, sent when the next request comes
  SimCounters counters_;

  // Delayed answers, by due time then arrival order. An answer that is not late keeps its
  // place behind the ones before it: none leaves at once while one of those still waits.
  struct Pending {
    std::vector<uint8_t> bytes;
    bool inOrder = true;
  };
  std::map<std::pair<Clock::time_point, uint64_t>, Pending> scheduled_;
  uint64_t scheduleSeq_ = 0;
  size_t inOrderPending_ = 0;  // in-order answers scheduled or being sent
  Clock::time_point busyUntil_{};
  size_t emitting_ = 0;
  bool stopping_ = false;
  std::condition_variable schedulerCv_;
  mutable std::condition_variable idleCv_;
  std::thread scheduler_;

  // Held while a frame goes out, so two never interleave. Recursive: a sink that answers
  // synchronously may call OnHostMessage, which may send again on the same thread.
  std::recursive_mutex outputMutex_;
  SimOutput output_;
  std::shared_ptr<VirtualEndpoint> endpoint_;
};

}  // namespace r9
