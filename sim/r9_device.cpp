#include "sim/r9_device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "firmware/image_set.h"
#include "protocol/codec.h"
#include "protocol/frames.h"
#include "sim/stamps.h"

namespace r9 {

namespace {

std::string Hex(uint32_t v, int digits = 2) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, unsigned(v));
  return text;
}

std::string Range(uint32_t begin, uint64_t end) { return "0x" + Hex(begin, 6) + "..0x" + Hex(uint32_t(end - 1), 6); }

size_t ExpectedLength(HostFrameKind kind) {
  switch (kind) {
    case HostFrameKind::kIdentityRequest:
      return kIdentityRequestLength;
    case HostFrameKind::kEnterUpdate:
      return kEnterUpdateLength;
    case HostFrameKind::kFinishUpdate:
      return kFinishUpdateLength;
    case HostFrameKind::kErase:
      return kEraseLength;
    case HostFrameKind::kReadRequest:
      return kReadRequestLength;
    case HostFrameKind::kStatus:
      return kStatusLength;
    case HostFrameKind::kHostIdentityReply:
      return kHostIdentityReplyLength;
    default:
      return 0;  // the Write-block frame's length follows from its count; others: any
  }
}

bool IsRequest(HostFrameKind kind) {
  return kind != HostFrameKind::kStatus && kind != HostFrameKind::kHostIdentityReply && kind != HostFrameKind::kOther;
}

std::vector<uint8_t> Frame(const uint8_t* bytes, size_t length) { return std::vector<uint8_t>(bytes, bytes + length); }

void PresetStamp(std::vector<uint8_t>& flash, StampPreset preset, const StampPlace& place) {
  uint8_t stamp[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  if (preset == StampPreset::kOld) std::memcpy(stamp, place.old, 4);
  // A build without the image keeps the stamp erased; ParseSimOptions refuses "same" then.
  if (preset == StampPreset::kSame) LoadImageBytes(place.image, place.offset, 4, stamp);
  std::memcpy(flash.data() + place.address, stamp, 4);
}

}  // namespace

ExpectedAnswer ExpectedAnswerTo(const uint8_t* m, size_t n) {
  if (n >= 5 && m[0] == kSysExStart && m[1] == kMakerId) {
    switch (m[4]) {
      case kSubStatus:
      case kSubWriteBlock:
      case kSubMemory:
      case kSubDeviceRequest3:
        return ExpectedAnswer::kNone;
      case kSubEnterUpdate:
      case kSubFinishUpdate:
      case kSubDeviceRequest5:
        return ExpectedAnswer::kStatusOk;
      default:
        return ExpectedAnswer::kStatusRefused;
    }
  }
  if (n >= 5 && m[0] == kSysExStart && m[1] == kUniversalNonRealTime && m[3] == kGeneralInformation) {
    if (m[4] == kIdentityRequestCode) return ExpectedAnswer::kHostIdentity;
    if (m[4] == kIdentityReplyCode) return ExpectedAnswer::kNone;
    return ExpectedAnswer::kStatusRefused;
  }
  return ExpectedAnswer::kNone;
}

LinkTiming SimLinkTiming(const SimOptions& o) {
  LinkTiming t;
  if (o.timeScale <= 0) return t;  // full speed: an ideal cable
  t.bytesPerSecond = o.linkBytesPerSecond > 0 ? o.linkBytesPerSecond / o.timeScale : 0;
  t.latencyMicros = uint32_t(std::lround(o.latencyMillis * 1000 * o.timeScale));
  return t;
}

double EraseMillis(const SimOptions& o, uint32_t size) {
  const uint64_t units = (uint64_t(size) + kDeviceEraseUnit - 1) / kDeviceEraseUnit;
  return o.eraseMillisPer4K * double(units) * o.timeScale;
}

double WriteMillis(const SimOptions& o) { return o.writeMillisPerBlock * o.timeScale; }

R9Device::R9Device(const SimOptions& options)
    : options_(options), flash_(kDeviceFlashSize, 0xFF), random_(options.seed) {
  if (!options_.flashFile.empty() && LoadFlashFile(options_.flashFile, &flash_)) return;
  const StampPreset presets[] = {options_.boot, options_.system, options_.preset, options_.submcu};
  for (size_t i = 0; i < kStampPlaces.size(); ++i) PresetStamp(flash_, presets[i], kStampPlaces[i]);
}

bool R9Device::LoadFlashFile(const std::string& path, std::vector<uint8_t>* flash) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<uint8_t> bytes(kDeviceFlashSize);
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  if (in.gcount() != std::streamsize(bytes.size()) || in.peek() != std::char_traits<char>::eof()) return false;
  *flash = std::move(bytes);
  return true;
}

bool R9Device::SaveFlashFile(const std::string& path) const {
  const std::vector<uint8_t> flash = Flash();
  // Written beside the file and renamed over it, so a crash never leaves half a flash behind.
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash.data()), std::streamsize(flash.size()));
    if (!out) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

R9Device::~R9Device() {
  Detach();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  schedulerCv_.notify_all();
  if (scheduler_.joinable()) scheduler_.join();
  if (!options_.flashFile.empty()) SaveFlashFile(options_.flashFile);
}

void R9Device::SetOutput(SimOutput output) {
  std::lock_guard<std::recursive_mutex> lock(outputMutex_);
  output_ = std::move(output);
}

// --- Receiving ------------------------------------------------------------------------------

HostFrameKind R9Device::Classify(const uint8_t* m, size_t n) const {
  if (n >= 5 && m[0] == kSysExStart && m[1] == kMakerId) {
    switch (m[4]) {
      case kSubStatus:
        return HostFrameKind::kStatus;
      case kSubEnterUpdate:
        return HostFrameKind::kEnterUpdate;
      case kSubWriteBlock:
        return HostFrameKind::kWriteBlock;
      case kSubFinishUpdate:
        return HostFrameKind::kFinishUpdate;
      case kSubErase:
        return HostFrameKind::kErase;
      case kSubMemory:
        return HostFrameKind::kReadRequest;
      default:
        return HostFrameKind::kOther;
    }
  }
  if (n >= 5 && m[0] == kSysExStart && m[1] == kUniversalNonRealTime && m[3] == kGeneralInformation) {
    if (m[4] == kIdentityRequestCode) return HostFrameKind::kIdentityRequest;
    if (m[4] == kIdentityReplyCode) return HostFrameKind::kHostIdentityReply;
  }
  return HostFrameKind::kOther;
}

void R9Device::Violation(uint32_t index, const std::string& what) {
  violations_.push_back("host frame " + std::to_string(index) + ": " + what);
}

// The checks that need no device state. Returns false when the frame cannot be acted on.
bool R9Device::CheckFrame(const uint8_t* m, size_t n, HostFrameKind kind, uint32_t index) {
  const std::string name = HostFrameKindName(kind);
  if (n < 2 || m[0] != kSysExStart) {
    Violation(index, "not a SysEx message (" + std::to_string(n) + " bytes" + (n ? ", first " + Hex(m[0]) : "") + ")");
    return false;
  }
  bool ok = true;
  if (m[n - 1] != kSysExEnd) {
    Violation(index, name + " frame does not end with F7");
    ok = false;
  }
  for (size_t i = 1; i + 1 < n; ++i) {
    if (m[i] >= 0x80) {
      Violation(index, name + " frame has byte " + Hex(m[i]) + " at offset " + std::to_string(i));
      ok = false;
      break;
    }
  }
  if (kind == HostFrameKind::kOther) {
    if (n >= 5 && m[1] == kMakerId)
      Violation(index, "maker sub-command " + Hex(m[4]) + " is never sent by the host");
    else
      Violation(index, "unexpected frame starting " + Hex(m[0]) + " " + Hex(m[1]));
    return false;
  }
  const size_t expected = ExpectedLength(kind);
  if (expected && n != expected) {
    Violation(index, name + " frame is " + std::to_string(n) + " bytes, expected " + std::to_string(expected));
    ok = false;
  }
  if (m[1] == kMakerId) {
    if (m[2] != 0x00) Violation(index, name + " frame has " + Hex(m[2]) + " at offset 2, expected 00");
    // A host that has not identified the device yet answers device requests with DeviceId 00.
    const bool earlyAnswer = kind == HostFrameKind::kStatus && !identityAnswered_ && m[3] == 0x00;
    if (m[3] != options_.identity[0] && !earlyAnswer)
      Violation(index, name + " frame carries DeviceId " + Hex(m[3]) + ", expected " + Hex(options_.identity[0]));
  } else if (m[2] != 0x00 && m[2] != 0x7F) {
    Violation(index, name + " frame has device ID " + Hex(m[2]) + ", expected 00 or 7F");
  }
  return ok;
}

R9Device::Faults R9Device::FaultsFor(HostFrameKind kind, uint32_t index, uint32_t kindIndex, const double draws[5]) {
  Faults f;
  for (const AimedFault& a : options_.faults) {
    const uint32_t n = a.anyKind ? index : (a.frameKind == kind ? kindIndex : 0);
    if (n < a.first || n > a.last) continue;
    switch (a.kind) {
      case FaultKind::kDrop:
        f.drop = true;
        break;
      case FaultKind::kError:
        f.error = true;
        break;
      case FaultKind::kLate:
        f.late = true;
        break;
      case FaultKind::kDuplicate:
        f.duplicate = true;
        break;
      case FaultKind::kCorruptCrc:
        f.corrupt = true;
        break;
      case FaultKind::kReject:
        f.reject = true;
        break;
      case FaultKind::kLose:
        f.lose = true;
        break;
      case FaultKind::kStale:
        f.stale = true;
        break;
      case FaultKind::kSilent:
        break;  // handled before
    }
  }
  if (options_.randomScope & KindBit(kind)) {
    f.drop |= draws[0] < options_.dropProbability;
    f.error |= draws[1] < options_.errorProbability;
    // A refusal either way: the same draw, so adding rejects leaves every other fault of a seed
    // where it was.
    f.reject |=
        draws[1] >= options_.errorProbability && draws[1] < options_.errorProbability + options_.rejectProbability;
    f.late |= draws[2] < options_.lateProbability;
    f.duplicate |= draws[3] < options_.duplicateProbability;
  }
  f.corrupt |= draws[4] < options_.corruptProbability;
  return f;
}

void R9Device::OnHostMessage(const uint8_t* m, size_t n) {
  std::vector<std::vector<uint8_t>> now;  // answers that leave on this thread
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const HostFrameKind kind = Classify(m, n);
    const uint32_t index = ++counters_.framesReceived;
    const uint32_t kindIndex = ++counters_.framesByKind[static_cast<size_t>(kind)];
    frames_.push_back({index, kind, Frame(m, n)});
    // Five draws for every frame whatever is configured, so one seed gives the same sequence of
    // faults whichever probabilities are set.
    double draws[5];
    for (double& d : draws) d = random_.NextUnit();

    const bool wellFormed = CheckFrame(m, n, kind, index);

    if (!hung_) {
      if (options_.silentAfter && index >= options_.silentAfter) hung_ = true;
      for (const AimedFault& a : options_.faults) {
        const uint32_t k = a.anyKind ? index : (a.frameKind == kind ? kindIndex : 0);
        if (a.kind == FaultKind::kSilent && k >= a.first) hung_ = true;
      }
    }
    if (!staleCopy_.empty() && IsRequest(kind)) {
      // The copy of the previous answer goes out now, behind whatever is still on its way.
      ++counters_.duplicatedReplies;
      const Clock::time_point t = Clock::now();
      if (busyUntil_ <= t && inOrderPending_ == 0)
        now.push_back(staleCopy_);
      else
        ScheduleLocked(staleCopy_, std::max(t, busyUntil_), true);
      staleCopy_.clear();
    }
    if (hung_) {
      ++counters_.silencedFrames;
      return;
    }

    if (kind == HostFrameKind::kStatus || kind == HostFrameKind::kHostIdentityReply) {
      if (wellFormed) TakeHostAnswer(m, n, kind, index);
      return;
    }

    Answer answer;
    Faults faults;
    if (!wellFormed) {
      // A maker frame the device cannot take is refused; anything else goes unanswered.
      if (n >= 5 && m[0] == kSysExStart && m[1] == kMakerId)
        answer = Status(kind == HostFrameKind::kOther ? kStatusRefused : kDeviceStatusBadFrame);
    } else {
      faults = FaultsFor(kind, index, kindIndex, draws);
      if (faults.error && IsRequest(kind)) {
        // Refused before the device looked at it: nothing is erased, written or entered.
        answer = Status(kDeviceStatusInjected);
        ++counters_.injectedErrors;
      } else if (faults.reject && IsRequest(kind)) {
        // Refused after the work it would have taken (a CRC error found once the block was in,
        // a region the flash would not erase): the refusal comes as late as an answer would.
        answer = Status(kDeviceStatusRejected);
        if (kind == HostFrameKind::kWriteBlock) answer.processingMillis = WriteMillis(options_);
        if (kind == HostFrameKind::kErase) answer.processingMillis = EraseMillis(options_, Decode7To32(m + 10));
        ++counters_.rejectedFrames;
      } else if (faults.lose && kind == HostFrameKind::kWriteBlock) {
        // The flash failed to take the block, and the device does not know it.
        answer.bytes.resize(8);
        answer.bytes.resize(BuildAcknowledge(answer.bytes.data(), options_.identity[0]));
        answer.processingMillis = WriteMillis(options_);
        ++counters_.lostWrites;
      } else {
        answer = Act(m, n, kind, index, faults.corrupt);
      }
    }
    if (answer.bytes.empty()) return;
    if (faults.drop) {
      ++counters_.droppedReplies;
      return;
    }

    if (faults.stale) staleCopy_ = answer.bytes;
    const int copies = faults.duplicate ? 2 : 1;
    if (faults.duplicate) ++counters_.duplicatedReplies;
    const Clock::time_point t = Clock::now();
    if (faults.late) {
      // One device, one cable: a late answer holds back every answer after it.
      ++counters_.lateReplies;
      answer.processingMillis += options_.lateMillis;
    }
    // The device works through frames one at a time: an answer waits for the work before it.
    const Clock::time_point start = std::max(t, busyUntil_);
    if (answer.processingMillis <= 0 && start == t && inOrderPending_ == 0) {
      for (int i = 0; i < copies; ++i) now.push_back(answer.bytes);
    } else {
      busyUntil_ = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double, std::milli>(answer.processingMillis));
      for (int i = 0; i < copies; ++i) ScheduleLocked(answer.bytes, busyUntil_, true);
    }
  }
  for (const auto& bytes : now) Emit(bytes);
}

void R9Device::TakeHostAnswer(const uint8_t* m, size_t n, HostFrameKind kind, uint32_t index) {
  if (awaitingAnswer_.empty()) {
    Violation(index, std::string("unsolicited ") + HostFrameKindName(kind) + " frame: no device request is open");
    return;
  }
  DeviceRequestRecord& r = requests_[awaitingAnswer_.front()];
  awaitingAnswer_.pop_front();
  r.answer = Frame(m, n);
  std::string wanted;
  switch (r.expected) {
    case ExpectedAnswer::kStatusOk:
      if (kind != HostFrameKind::kStatus || m[5] != kStatusOk) wanted = "Status 00";
      break;
    case ExpectedAnswer::kStatusRefused:
      if (kind != HostFrameKind::kStatus || m[5] != kStatusRefused) wanted = "Status 01";
      break;
    case ExpectedAnswer::kHostIdentity:
      if (kind != HostFrameKind::kHostIdentityReply) wanted = "a Host Identity Reply";
      break;
    case ExpectedAnswer::kNone:
      break;
  }
  if (!wanted.empty()) {
    const std::string got = kind == HostFrameKind::kStatus ? "Status " + Hex(m[5]) : "a Host Identity Reply";
    const std::string request = r.expected == ExpectedAnswer::kHostIdentity
                                    ? "device Identity Request"
                                    : "device request " + Hex(r.request.size() > 4 ? r.request[4] : 0);
    Violation(index, request + " answered with " + got + ", expected " + wanted);
  }
}

// --- Acting on the host's requests -----------------------------------------------------------

R9Device::Answer R9Device::Status(uint8_t status) const {
  Answer a;
  a.bytes.resize(kStatusLength);
  BuildStatus(a.bytes.data(), options_.identity[0], status);
  return a;
}

R9Device::Answer R9Device::Act(const uint8_t* m, size_t n, HostFrameKind kind, uint32_t index, bool corruptRead) {
  switch (kind) {
    case HostFrameKind::kIdentityRequest: {
      Answer a;
      a.bytes.resize(kIdentityReplyLength);
      BuildIdentityReply(a.bytes.data(), options_.identity, options_.revision);
      identityAnswered_ = true;
      return a;
    }
    case HostFrameKind::kEnterUpdate:
      return EnterUpdate();
    case HostFrameKind::kErase:
      return Erase(m, index);
    case HostFrameKind::kWriteBlock:
      return WriteBlock(m, n, index);
    case HostFrameKind::kReadRequest:
      return Read(m, index, corruptRead);
    case HostFrameKind::kFinishUpdate:
      return FinishUpdate(index);
    default:
      return Answer();
  }
}

R9Device::Answer R9Device::EnterUpdate() {
  // Started normally, the device cannot switch over: it says so with 0B.
  if (!options_.startInUpdateMode) return Status(kStatusNotUpdateMode);
  if (!inUpdateMode_) {
    inUpdateMode_ = true;
    erased_.clear();
  }
  return Status(kStatusOk);
}

R9Device::Answer R9Device::Erase(const uint8_t* m, uint32_t index) {
  if (!inUpdateMode_) {
    Violation(index, "Erase frame outside the update mode");
    return Status(kStatusNotUpdateMode);
  }
  const uint32_t address = Decode7To32(m + 5);
  const uint32_t size = Decode7To32(m + 10);
  const uint64_t end = uint64_t(address) + size;
  if (size == 0 || address % kDeviceEraseUnit || size % kDeviceEraseUnit || end > kDeviceFlashSize) {
    Violation(index, "Erase of " + std::to_string(size) + " bytes at 0x" + Hex(address, 6) +
                         " is outside the flash or not on 4 KiB boundaries");
    return Status(kDeviceStatusBadRegion);
  }
  std::fill(flash_.begin() + address, flash_.begin() + end, 0xFF);
  MarkErased(address, uint32_t(end));
  ++counters_.erasesDone;
  Answer a = Status(kStatusOk);
  a.processingMillis = EraseMillis(options_, size);
  return a;
}

R9Device::Answer R9Device::WriteBlock(const uint8_t* m, size_t n, uint32_t index) {
  if (n < 13) {
    Violation(index, "write frame is " + std::to_string(n) + " bytes, too short for its header");
    return Status(kDeviceStatusBadFrame);
  }
  const uint32_t address = Decode7To32(m + 5);
  const size_t count = size_t(m[10]) | size_t(m[11]) << 7;
  const size_t packed = PackedLength(count);
  if (count == 0 || n != WriteBlockLength(count)) {
    Violation(index, "write frame of " + std::to_string(count) + " data bytes is " + std::to_string(n) +
                         " bytes, expected " + std::to_string(count ? WriteBlockLength(count) : 0));
    return Status(kDeviceStatusBadFrame);
  }
  // A short last group of k bytes leaves the high-bit byte's bits for the missing bytes clear.
  const size_t lastGroup = count % 7;
  if (lastGroup) {
    const uint8_t high = m[12 + packed - lastGroup - 1];
    const uint8_t unused = uint8_t((1u << (7 - lastGroup)) - 1);
    if (high & unused) {
      Violation(index, "write frame's last packed group sets high bits of missing bytes");
      return Status(kDeviceStatusBadFrame);
    }
  }
  std::vector<uint8_t> data(count);
  Unpack7(data.data(), m + 12, packed);
  const uint32_t sent = Decode7To32(m + 12 + packed);
  const uint32_t actual = CrcBlock(data.data(), count);
  if (sent != actual) {
    Violation(index, "write frame CRC " + Hex(sent, 8) + " does not match the data (" + Hex(actual, 8) + ")");
    return Status(kDeviceStatusBadCrc);
  }
  if (!inUpdateMode_) {
    Violation(index, "Write-block frame outside the update mode");
    return Status(kStatusNotUpdateMode);
  }
  const uint64_t end = uint64_t(address) + count;
  if (end > kDeviceFlashSize) {
    Violation(index, "write of " + std::to_string(count) + " bytes at 0x" + Hex(address, 6) + " runs past the flash");
    return Status(kDeviceStatusBadRegion);
  }
  uint8_t* target = flash_.data() + address;
  const bool erased = std::all_of(target, target + count, [](uint8_t b) { return b == 0xFF; });
  const bool identical = !erased && std::memcmp(target, data.data(), count) == 0;
  const bool unerased = !erased && !identical;
  if (unerased) {
    Violation(index, "write into unerased flash at " + Range(address, end));
    if (!options_.unerasedAnd) return Status(kDeviceStatusNotErased);
  } else if (!InsideErased(address, uint32_t(end))) {
    // Bytes that happen to be FF are not enough: the host must have erased the region first.
    Violation(index, "write at " + Range(address, end) + " outside the regions erased since Enter-update");
  }
  if (unerased) {
    // A NOR flash without a write check: programming only clears bits, and nobody notices.
    for (size_t i = 0; i < count; ++i) target[i] &= data[i];
  } else if (identical) {
    // A resend after a lost Acknowledge: programming the same bits again changes nothing.
    ++counters_.identicalRewrites;
  } else {
    std::memcpy(target, data.data(), count);
  }
  ++counters_.acknowledgedWrites;
  Answer a;
  a.bytes.resize(8);
  a.bytes.resize(BuildAcknowledge(a.bytes.data(), options_.identity[0]));
  a.processingMillis = WriteMillis(options_);
  return a;
}

R9Device::Answer R9Device::Read(const uint8_t* m, uint32_t index, bool corrupt) {
  if (m[5] != kReadSelector) {
    Violation(index, "memory frame with selector " + Hex(m[5]) + ", expected 30 (read)");
    return Status(kDeviceStatusBadFrame);
  }
  const uint32_t address = Decode7To32(m + 6);
  const uint32_t asked = Decode7To32(m + 11);
  const uint64_t end = uint64_t(address) + asked;
  if (asked > kMaxBlockData || end > kDeviceFlashSize) {
    Violation(index, "read of " + std::to_string(asked) + " bytes at 0x" + Hex(address, 6) +
                         " is larger than a reply or outside the flash");
    return Status(kDeviceStatusBadRegion);
  }
  uint32_t length = asked;
  if (options_.maxRead && asked > options_.maxRead) {
    // A device that takes only short reads: it refuses a longer one, or sends what it can.
    if (!options_.longReadShort) return Status(kDeviceStatusBadFrame);
    length = options_.maxRead;
  }
  const bool coversPreset = address <= kPresetStampAddress + 3 && end > kPresetStampAddress;
  if (coversPreset && options_.presetRead == PresetRead::kFail) corrupt = true;
  if (coversPreset && options_.presetRead == PresetRead::kFailOnce && !presetFailedOnce_) {
    presetFailedOnce_ = true;
    corrupt = true;
  }
  const uint8_t* data = flash_.data() + address;
  uint32_t crc = CrcBlock(data, length);
  if (corrupt) {
    crc = ~crc;
    ++counters_.corruptedReadReplies;
  }
  ++counters_.readsAnswered;
  Answer a;
  a.bytes.resize(ReadReplyLength(length));
  BuildReadReply(a.bytes.data(), options_.identity[0], data, length, crc);
  return a;
}

R9Device::Answer R9Device::FinishUpdate(uint32_t index) {
  if (!inUpdateMode_) {
    Violation(index, "Finish-update frame outside the update mode");
    return Status(kStatusNotUpdateMode);
  }
  // Like a reboot: the session ends, and a later Enter-update starts a new one.
  inUpdateMode_ = false;
  erased_.clear();
  ++counters_.reboots;
  return Status(kStatusOk);
}

void R9Device::MarkErased(uint32_t begin, uint32_t end) {
  erased_.emplace_back(begin, end);
  std::sort(erased_.begin(), erased_.end());
  std::vector<std::pair<uint32_t, uint32_t>> merged;
  for (const auto& r : erased_) {
    if (!merged.empty() && r.first <= merged.back().second)
      merged.back().second = std::max(merged.back().second, r.second);
    else
      merged.push_back(r);
  }
  erased_ = std::move(merged);
}

bool R9Device::InsideErased(uint32_t begin, uint32_t end) const {
  for (const auto& r : erased_)
    if (r.first <= begin && end <= r.second) return true;
  return false;
}

// --- Sending --------------------------------------------------------------------------------

void R9Device::SendIdentityRequest() {
  uint8_t frame[kIdentityRequestLength];
  SendDeviceFrame(frame, BuildIdentityRequest(frame));
}

void R9Device::SendMakerRequest(uint8_t subCommand) {
  const uint8_t frame[6] = {kSysExStart, kMakerId, 0x00, options_.identity[0], subCommand, kSysExEnd};
  SendDeviceFrame(frame, sizeof frame);
}

void R9Device::SendDeviceFrame(const uint8_t* bytes, size_t length) {
  {
    // Recorded before it leaves: the host may answer before Emit returns.
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceRequestRecord r;
    r.request = Frame(bytes, length);
    r.expected = ExpectedAnswerTo(bytes, length);
    requests_.push_back(std::move(r));
    if (requests_.back().expected != ExpectedAnswer::kNone) awaitingAnswer_.push_back(requests_.size() - 1);
  }
  Emit(Frame(bytes, length));
}

void R9Device::Emit(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::recursive_mutex> out(outputMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(bytes);
    ++counters_.framesSent;
  }
  if (output_) output_(bytes.data(), bytes.size());
}

void R9Device::ScheduleLocked(std::vector<uint8_t> bytes, Clock::time_point due, bool inOrder) {
  scheduled_.emplace(std::make_pair(due, scheduleSeq_++), Pending{std::move(bytes), inOrder});
  if (inOrder) ++inOrderPending_;
  if (!scheduler_.joinable()) scheduler_ = std::thread([this] { SchedulerLoop(); });
  schedulerCv_.notify_all();
}

void R9Device::SchedulerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (scheduled_.empty()) {
      schedulerCv_.wait(lock);
      continue;
    }
    const auto first = scheduled_.begin();
    if (Clock::now() < first->first.first) {
      schedulerCv_.wait_until(lock, first->first.first);
      continue;
    }
    Pending pending = std::move(first->second);
    scheduled_.erase(first);
    ++emitting_;
    lock.unlock();
    Emit(pending.bytes);
    lock.lock();
    --emitting_;
    if (pending.inOrder) --inOrderPending_;
    idleCv_.notify_all();
  }
}

size_t R9Device::PendingReplies() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return scheduled_.size() + emitting_;
}

bool R9Device::WaitIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return idleCv_.wait_for(lock, timeout, [this] { return scheduled_.empty() && emitting_ == 0; });
}

// --- The virtual bus ------------------------------------------------------------------------

bool R9Device::AttachToBus(VirtualMidiBus& bus, const std::string& portName) {
  std::lock_guard<std::recursive_mutex> out(outputMutex_);
  if (endpoint_) return false;
  std::shared_ptr<VirtualEndpoint> endpoint = bus.Attach(portName.empty() ? options_.portName : portName);
  if (!endpoint) return false;
  endpoint->SetTiming(SimLinkTiming(options_));
  endpoint_ = endpoint;
  VirtualEndpoint* raw = endpoint.get();
  output_ = [raw](const uint8_t* bytes, size_t length) { raw->SendToHost(bytes, length); };
  endpoint->SetReceiver([this](const uint8_t* bytes, size_t length) { OnHostMessage(bytes, length); });
  return true;
}

void R9Device::Detach() {
  std::shared_ptr<VirtualEndpoint> endpoint;
  {
    std::lock_guard<std::recursive_mutex> out(outputMutex_);
    endpoint = std::move(endpoint_);
    endpoint_.reset();
    if (endpoint) output_ = nullptr;
  }
  if (!endpoint) return;
  endpoint->SetReceiver(nullptr);
  endpoint->Detach();
}

// --- Accessors ------------------------------------------------------------------------------

std::vector<uint8_t> R9Device::Flash() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flash_;
}

std::vector<uint8_t> R9Device::FlashBytes(uint32_t address, uint32_t length) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (address >= kDeviceFlashSize) return {};
  const uint32_t n = std::min<uint32_t>(length, kDeviceFlashSize - address);
  return std::vector<uint8_t>(flash_.begin() + address, flash_.begin() + address + n);
}

void R9Device::LoadFlash(uint32_t address, const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (address >= kDeviceFlashSize) return;
  const size_t n = std::min<size_t>(length, kDeviceFlashSize - address);
  std::memcpy(flash_.data() + address, data, n);
}

bool R9Device::InUpdateMode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inUpdateMode_;
}

bool R9Device::Hung() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hung_;
}

std::vector<ReceivedFrame> R9Device::Frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

std::vector<std::vector<uint8_t>> R9Device::SentFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

std::vector<std::string> R9Device::Violations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return violations_;
}

std::vector<DeviceRequestRecord> R9Device::DeviceRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

SimCounters R9Device::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

}  // namespace r9
