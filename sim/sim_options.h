// Configuration of the simulated R9 device, and the option string that sets it from the
// command line ("boot=same,drop=0.05,seed=7").
//
// The string is a comma-separated list of key=value items; every key is described at
// ParseSimOptions and in docs/device-simulator.md. Everything that is not given keeps the default of a
// factory-fresh device: identity 3A 00 05 00, started in its firmware update mode, flash all
// erased (so every version stamp reads FF FF FF FF), full speed, no faults.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/frames.h"

namespace r9 {

// What a version stamp in the simulated flash holds at start.
enum class StampPreset : uint8_t {
  kErased,  // FF FF FF FF, as after an erase
  kSame,    // the stamp that the carried image holds
  kOld,     // an older stamp ("0.99" BOOT, "1.09" SYSTEM, "0.90" PRESET, "1.01" SUBMCU)
};

// How the device answers a Read request that covers the PRESET stamp (0x65FFC).
enum class PresetRead : uint8_t { kOk, kFail, kFailOnce };

// Kinds of frame the host sends, as the device tells them apart.
enum class HostFrameKind : uint8_t {
  kIdentityRequest,    // F0 7E xx 06 01 F7
  kEnterUpdate,        // maker 01
  kWriteBlock,         // maker 02
  kErase,              // maker 0A
  kReadRequest,        // maker 60
  kFinishUpdate,       // maker 04
  kStatus,             // maker 00: the host's answer to a device request
  kHostIdentityReply,  // F0 7E xx 06 02: the host's answer to the device's Identity Request
  kOther,              // anything else: always a violation
};
constexpr size_t kHostFrameKindCount = 9;
// Option-string name of a kind: identity, enter, write, erase, read, finish, status,
// host-identity, other.
const char* HostFrameKindName(HostFrameKind kind);

// What a fault does to the device's answer to one host frame.
enum class FaultKind : uint8_t {
  kDrop,        // the frame is acted on, the answer is never sent
  kError,       // the frame is refused at once without acting: a Status frame with kStatusInjected
  kLate,        // the frame is acted on, the answer leaves lateMillis later
  kDuplicate,   // the frame is acted on, the answer is sent twice
  kCorruptCrc,  // a Read reply goes out with a wrong CRC
  kSilent,      // from this frame on the device is hung: it neither acts nor answers
  kReject,      // the frame is refused without acting, after the time the device would have
                // spent on it (the write time of a block, the erase time of an Erase)
  kLose,        // a Write-block is acknowledged but not written (a device whose flash fails)
  kStale,       // the answer is sent twice, the copy only once the next request has arrived: a
                // doubled answer that reaches the host after its next request left
};
const char* FaultKindName(FaultKind kind);

// A fault aimed at host frames first..last (1-based, inclusive), counted over all host frames
// (anyKind) or over the frames of one kind ("the 3rd Write-block").
struct AimedFault {
  FaultKind kind = FaultKind::kDrop;
  bool anyKind = true;
  HostFrameKind frameKind = HostFrameKind::kWriteBlock;
  uint32_t first = 1;
  uint32_t last = 1;
};

constexpr uint32_t KindBit(HostFrameKind kind) { return 1u << static_cast<unsigned>(kind); }

struct SimOptions {
  // Flash content at start.
  StampPreset boot = StampPreset::kErased;    // 0x4AFFC
  StampPreset system = StampPreset::kErased;  // 0x170FE0
  StampPreset preset = StampPreset::kErased;  // 0x65FFC
  StampPreset submcu = StampPreset::kErased;  // 0x1CBFE0
  PresetRead presetRead = PresetRead::kOk;
  // Reads longer than maxRead bytes (0: no limit below a reply's 16383) are refused with
  // status 02, or answered with only the first maxRead bytes when longReadShort.
  uint32_t maxRead = 0;
  bool longReadShort = false;
  // A Write-block over bytes that are not erased: refused with status 05 (false), or, like a NOR
  // flash without a write check, acknowledged with the AND of old and new bits stored (true).
  // Either way it is recorded as a violation.
  bool unerasedAnd = false;

  // Who the device is.
  bool startInUpdateMode = true;  // false: started normally, Enter-update is answered with 0B
  Identity identity = {0x3A, 0x00, 0x05, 0x00};
  std::array<uint8_t, 4> revision = {0x00, 0x01, 0x00, 0x00};
  std::string portName = "KORVEN R9";
  // When set, the flash is loaded from this file at start (if it holds a whole flash image; the
  // stamp presets then do not apply) and saved to it when the device goes, so that one device
  // lives through several runs of the program.
  std::string flashFile;

  // Random faults: each a probability from 0 to 1, drawn per host frame from seed. drop,
  // error, late, duplicate and reject hit only the kinds in randomScope; corrupt hits every
  // Read reply.
  double dropProbability = 0;
  double errorProbability = 0;
  double lateProbability = 0;
  double duplicateProbability = 0;
  double corruptProbability = 0;
  double rejectProbability = 0;
  uint32_t randomScope = KindBit(HostFrameKind::kWriteBlock) | KindBit(HostFrameKind::kErase);
  uint64_t seed = 1;

  // Aimed faults; silentAfter N (0 = never) is the same as a silent fault at host frame N.
  std::vector<AimedFault> faults;
  uint32_t silentAfter = 0;
  // Delay of a late answer in real milliseconds, not scaled: it has to outlast the host's
  // time-out also when everything else runs at full speed.
  double lateMillis = 1500;

  // Timing model. The link figures go to the bus that carries the frames; the flash times are
  // the device's own. Everything is multiplied by timeScale; 0 runs at full speed.
  double linkBytesPerSecond = 1000000;  // 0: unlimited
  double latencyMillis = 1;             // per frame
  double eraseMillisPer4K = 40;
  double writeMillisPerBlock = 10;
  double timeScale = 0;
};

// Parses text over the values already in *out (normally a default SimOptions). On failure
// returns false, leaves *out unchanged and puts a message naming the offending key (or item)
// into *error. A key may be given once, except fault, whose items add up.
//
//   boot|system|preset|submcu=same|old|erased   stamp preset (same: read from the carried image)
//   preset-read=ok|fail|fail-once                Read of 0x65FFC answered with a corrupt CRC
//   mode=update|normal                           started in the update mode or normally
//   identity=HHHHHHHH, revision=HHHHHHHH         8 hex digits, each byte below 80
//   drop=P, errors=P, late=P, dup=P, corrupt=P   probabilities from 0 to 1
//   rejects=P
//   scope=KIND+KIND...|all                       frame kinds that drop/errors/late/dup may hit
//   seed=N
//   fault=KIND@[FRAMEKIND:]N[-M]                 aimed fault; may be given more than once
//   silent-after=N                               silent from the Nth host frame on
//   late-ms=MS                                   delay of a late answer
//   link=ideal|usb|din|BYTES_PER_SECOND, latency=MS, erase-ms=MS, write-ms=MS, scale=F
//   max-read=N, long-read=refuse|short          reads longer than N bytes refused or cut short
//   unerased=refuse|and                          a write over unerased bytes refused, or ANDed in
//   name=PORTNAME
//   flash=FILE                                   keep the flash in FILE across runs
bool ParseSimOptions(const std::string& text, SimOptions* out, std::string* error);

}  // namespace r9
