// The SysEx frames of the update protocol: constant images of the host's frames and pure
// builders that write a frame into a caller's buffer and return its length.
//
// Two families travel: universal non-real-time frames (F0 7E ...) for the identity exchange,
// and maker frames (F0 7D 00 <DeviceId> <sub-command> ...). Offsets count from the F0 byte.
// Every byte between F0 and F7 that a builder writes is below 0x80.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/codec.h"

namespace r9 {

constexpr uint8_t kSysExStart = 0xF0;
constexpr uint8_t kSysExEnd = 0xF7;
constexpr uint8_t kMakerId = 0x7D;
constexpr uint8_t kUniversalNonRealTime = 0x7E;
constexpr uint8_t kGeneralInformation = 0x06;
constexpr uint8_t kIdentityRequestCode = 0x01;
constexpr uint8_t kIdentityReplyCode = 0x02;

// Byte 4 of a maker frame.
enum SubCommand : uint8_t {
  kSubStatus = 0x00,
  kSubEnterUpdate = 0x01,  // host: enter update mode; device: a request
  kSubWriteBlock = 0x02,   // host: write a block; device: Acknowledge
  kSubDeviceRequest3 = 0x03,
  kSubFinishUpdate = 0x04,
  kSubDeviceRequest5 = 0x05,
  kSubErase = 0x0A,
  kSubMemory = 0x60,
};
constexpr uint8_t kReadSelector = 0x30;
constexpr uint8_t kReadReplyMarker = 0x04;

// Device status values the host tells apart.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusRefused = 0x01;
constexpr uint8_t kStatusNotUpdateMode = 0x0B;

// Largest data count of a Write-block or Read reply frame (two 7-bit groups).
constexpr size_t kMaxBlockData = 16383;
constexpr size_t kSendBufferSize = 65536;

constexpr size_t kIdentityRequestLength = 6;
constexpr size_t kIdentityReplyLength = 15;
constexpr size_t kHostIdentityReplyLength = 15;
constexpr size_t kStatusLength = 7;
constexpr size_t kEnterUpdateLength = 6;
constexpr size_t kFinishUpdateLength = 6;
constexpr size_t kEraseLength = 16;
constexpr size_t kReadRequestLength = 17;
constexpr size_t WriteBlockLength(size_t n) { return 18 + PackedLength(n); }
constexpr size_t ReadReplyLength(size_t d) { return 17 + PackedLength(d); }

// Constant images: the frames with every variable byte 00.
extern const uint8_t kIdentityRequestImage[kIdentityRequestLength];
extern const uint8_t kStatusImage[kStatusLength];
extern const uint8_t kEnterUpdateImage[kEnterUpdateLength];
extern const uint8_t kFinishUpdateImage[kFinishUpdateLength];
extern const uint8_t kEraseImage[kEraseLength];
extern const uint8_t kWriteBlockHeaderImage[12];
extern const uint8_t kReadRequestImage[kReadRequestLength];

// The process-wide buffer in which the workers assemble maker frames. The reply dispatcher
// builds its answers in storage of its own, so only one thread at a time writes here.
extern uint8_t SendBuffer[kSendBufferSize];

// DeviceIdentity: family low, family high, model low, model high of the last identity an
// identification step received; all zero at start. The worker writes it while the dispatcher
// reads DeviceId for its answers, so it is held in one atomic word.
using Identity = std::array<uint8_t, 4>;
Identity GetDeviceIdentity();
void SetDeviceIdentity(const Identity& identity);
uint8_t DeviceId();  // the first byte of DeviceIdentity, offset 3 of every maker frame

// The Host Identity Reply image's identity bytes (offsets 6..9): 00 00 00 00 until an update
// run accepts a device. SetHostIdentity may run on a worker while the dispatcher copies the
// image on the timer thread; both go through one atomic word.
void SetHostIdentity(const Identity& identity);

// Host frames. Each writes into out and returns the frame length.
size_t BuildIdentityRequest(uint8_t* out);
size_t BuildHostIdentityReply(uint8_t* out);
size_t BuildStatus(uint8_t* out, uint8_t deviceId, uint8_t status);
size_t BuildEnterUpdate(uint8_t* out, uint8_t deviceId);
size_t BuildFinishUpdate(uint8_t* out, uint8_t deviceId);
size_t BuildErase(uint8_t* out, uint8_t deviceId, uint32_t address, uint32_t size);
// n from 1 to kMaxBlockData; returns 0 (writing nothing) for any other n.
size_t BuildWriteBlock(uint8_t* out, uint8_t deviceId, const uint8_t* data, uint32_t address, size_t n);
size_t BuildReadRequest(uint8_t* out, uint8_t deviceId, uint32_t address, uint32_t length);

// Device frames, for the simulator and for tests of the dispatcher.
size_t BuildIdentityReply(uint8_t* out, const Identity& identity, const std::array<uint8_t, 4>& revision,
                          uint8_t manufacturer = kMakerId);
size_t BuildAcknowledge(uint8_t* out, uint8_t deviceId);
// d from 0 to kMaxBlockData; crc is written as given so tests can corrupt it.
size_t BuildReadReply(uint8_t* out, uint8_t deviceId, const uint8_t* data, size_t d, uint32_t crc);
size_t BuildReadReply(uint8_t* out, uint8_t deviceId, const uint8_t* data, size_t d);

}  // namespace r9
