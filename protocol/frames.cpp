#include "protocol/frames.h"

#include <atomic>
#include <cstring>

#include "protocol/codec.h"

namespace r9 {

const uint8_t kIdentityRequestImage[kIdentityRequestLength] = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
const uint8_t kStatusImage[kStatusLength] = {0xF0, 0x7D, 0x00, 0x00, 0x00, 0x00, 0xF7};
const uint8_t kEnterUpdateImage[kEnterUpdateLength] = {0xF0, 0x7D, 0x00, 0x00, 0x01, 0xF7};
const uint8_t kFinishUpdateImage[kFinishUpdateLength] = {0xF0, 0x7D, 0x00, 0x00, 0x04, 0xF7};
const uint8_t kEraseImage[kEraseLength] = {0xF0, 0x7D, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7};
const uint8_t kWriteBlockHeaderImage[12] = {0xF0, 0x7D, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const uint8_t kReadRequestImage[kReadRequestLength] = {0xF0, 0x7D, 0x00, 0x00, 0x60, 0x30, 0x00, 0x00, 0x00,
                                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7};

namespace {

// Host Identity Reply with its identity bytes zero; the revision reads "1000".
const uint8_t kHostIdentityReplyImage[kHostIdentityReplyLength] = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x00, 0x00,
                                                                   0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};

uint32_t Pack(const Identity& id) {
  return uint32_t(id[0]) | uint32_t(id[1]) << 8 | uint32_t(id[2]) << 16 | uint32_t(id[3]) << 24;
}
Identity Unpack(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

std::atomic<uint32_t> deviceIdentity{0};
std::atomic<uint32_t> hostIdentity{0};

size_t CopyWithDevice(uint8_t* out, const uint8_t* image, size_t length, uint8_t deviceId) {
  std::memcpy(out, image, length);
  out[3] = deviceId;
  return length;
}

}  // namespace

uint8_t SendBuffer[kSendBufferSize];

Identity GetDeviceIdentity() { return Unpack(deviceIdentity.load()); }
void SetDeviceIdentity(const Identity& identity) { deviceIdentity.store(Pack(identity)); }
uint8_t DeviceId() { return uint8_t(deviceIdentity.load()); }
void SetHostIdentity(const Identity& identity) { hostIdentity.store(Pack(identity)); }

size_t BuildIdentityRequest(uint8_t* out) {
  std::memcpy(out, kIdentityRequestImage, kIdentityRequestLength);
  return kIdentityRequestLength;
}

size_t BuildHostIdentityReply(uint8_t* out) {
  std::memcpy(out, kHostIdentityReplyImage, kHostIdentityReplyLength);
  const Identity id = Unpack(hostIdentity.load());
  std::memcpy(out + 6, id.data(), 4);
  return kHostIdentityReplyLength;
}

size_t BuildStatus(uint8_t* out, uint8_t deviceId, uint8_t status) {
  CopyWithDevice(out, kStatusImage, kStatusLength, deviceId);
  out[5] = status;
  return kStatusLength;
}

size_t BuildEnterUpdate(uint8_t* out, uint8_t deviceId) {
  return CopyWithDevice(out, kEnterUpdateImage, kEnterUpdateLength, deviceId);
}

size_t BuildFinishUpdate(uint8_t* out, uint8_t deviceId) {
  return CopyWithDevice(out, kFinishUpdateImage, kFinishUpdateLength, deviceId);
}

size_t BuildErase(uint8_t* out, uint8_t deviceId, uint32_t address, uint32_t size) {
  CopyWithDevice(out, kEraseImage, kEraseLength, deviceId);
  Encode32To7(address, out + 5);
  Encode32To7(size, out + 10);
  return kEraseLength;
}

size_t BuildWriteBlock(uint8_t* out, uint8_t deviceId, const uint8_t* data, uint32_t address, size_t n) {
  if (n == 0 || n > kMaxBlockData) return 0;
  CopyWithDevice(out, kWriteBlockHeaderImage, sizeof kWriteBlockHeaderImage, deviceId);
  Encode32To7(address, out + 5);
  out[10] = uint8_t(n & 0x7F);
  out[11] = uint8_t((n >> 7) & 0x7F);
  const size_t p = Pack7(out + 12, data, n);
  Encode32To7(CrcBlock(data, n), out + 12 + p);
  out[17 + p] = kSysExEnd;
  return 18 + p;
}

size_t BuildReadRequest(uint8_t* out, uint8_t deviceId, uint32_t address, uint32_t length) {
  CopyWithDevice(out, kReadRequestImage, kReadRequestLength, deviceId);
  Encode32To7(address, out + 6);
  Encode32To7(length, out + 11);
  return kReadRequestLength;
}

size_t BuildIdentityReply(uint8_t* out, const Identity& identity, const std::array<uint8_t, 4>& revision,
                          uint8_t manufacturer) {
  const uint8_t head[6] = {0xF0, 0x7E, 0x00, 0x06, 0x02, manufacturer};
  std::memcpy(out, head, 6);
  std::memcpy(out + 6, identity.data(), 4);
  std::memcpy(out + 10, revision.data(), 4);
  out[14] = kSysExEnd;
  return kIdentityReplyLength;
}

size_t BuildAcknowledge(uint8_t* out, uint8_t deviceId) {
  const uint8_t frame[6] = {0xF0, 0x7D, 0x00, deviceId, kSubWriteBlock, 0xF7};
  std::memcpy(out, frame, sizeof frame);
  return sizeof frame;
}

size_t BuildReadReply(uint8_t* out, uint8_t deviceId, const uint8_t* data, size_t d, uint32_t crc) {
  if (d > kMaxBlockData) return 0;
  const uint8_t head[11] = {0xF0,
                            0x7D,
                            0x00,
                            deviceId,
                            kSubMemory,
                            kReadReplyMarker,
                            kReadSelector,
                            0x00,
                            0x00,
                            uint8_t(d & 0x7F),
                            uint8_t((d >> 7) & 0x7F)};
  std::memcpy(out, head, sizeof head);
  const size_t p = Pack7(out + 11, data, d);
  Encode32To7(crc, out + 11 + p);
  out[16 + p] = kSysExEnd;
  return 17 + p;
}

size_t BuildReadReply(uint8_t* out, uint8_t deviceId, const uint8_t* data, size_t d) {
  return BuildReadReply(out, deviceId, data, d, CrcBlock(data, d));
}

}  // namespace r9
