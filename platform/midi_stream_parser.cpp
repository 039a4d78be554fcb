#include "platform/midi_stream_parser.h"

namespace r9 {

int ShortMessageLength(uint8_t status) {
  if (status < 0x80) return 0;
  if (status < 0xC0) return 3;  // note off/on, poly pressure, control change
  if (status < 0xE0) return 2;  // program change, channel pressure
  if (status < 0xF0) return 3;  // pitch bend
  switch (status) {
    case 0xF1:  // time code quarter frame
    case 0xF3:  // song select
      return 2;
    case 0xF2:  // song position
      return 3;
    case 0xF6:  // tune request
      return 1;
    case 0xF0:
    case 0xF4:
    case 0xF5:
    case 0xF7:
      return 0;
    default:  // F8..FF: real-time
      return 1;
  }
}

bool MidiStreamParser::NeedsSysExBuffer(uint8_t byte) const {
  if (byte >= 0xF8) return false;
  if (byte == 0xF0) return true;
  return inSysEx_ && (byte < 0x80 || byte == 0xF7);
}

void MidiStreamParser::Reset() {
  inSysEx_ = false;
  runningStatus_ = 0;
  dataCount_ = 0;
}

ParsedByte MidiStreamParser::Feed(uint8_t byte) {
  ParsedByte out;
  // Real-time bytes may appear anywhere, even inside a SysEx, and disturb nothing.
  if (byte >= 0xF8) {
    out.kind = ParsedByte::Kind::kShort;
    out.shortMessage = byte;
    return out;
  }
  if (inSysEx_) {
    if (byte < 0x80) {
      out.kind = ParsedByte::Kind::kSysExByte;
      return out;
    }
    if (byte == 0xF7) {
      inSysEx_ = false;
      out.kind = ParsedByte::Kind::kSysExByte;
      out.completesSysEx = true;
      return out;
    }
    // Any other status byte cuts the SysEx off and is then read as usual.
    inSysEx_ = false;
    out.endsOpenSysEx = true;
  }
  if (byte == 0xF0) {
    inSysEx_ = true;
    runningStatus_ = 0;
    dataCount_ = 0;
    out.kind = ParsedByte::Kind::kSysExByte;
    return out;
  }
  if (byte >= 0x80) {
    const int length = ShortMessageLength(byte);
    dataCount_ = 0;
    // Only channel messages set running status; system common messages clear it.
    runningStatus_ = byte < 0xF0 ? byte : 0;
    if (length == 1) {
      out.kind = ParsedByte::Kind::kShort;
      out.shortMessage = byte;
    } else if (length == 0) {
      runningStatus_ = 0;  // F7 outside a SysEx, F4, F5: dropped
    } else if (byte >= 0xF0) {
      runningStatus_ = byte;  // kept only until its data bytes are complete
    }
    return out;
  }
  // A data byte.
  if (runningStatus_ == 0) return out;  // no status to attach it to: dropped
  data_[dataCount_++] = byte;
  const int length = ShortMessageLength(runningStatus_);
  if (dataCount_ + 1 < length) return out;
  out.kind = ParsedByte::Kind::kShort;
  out.shortMessage = runningStatus_ | uint32_t(data_[0]) << 8 | (length == 3 ? uint32_t(data_[1]) << 16 : 0);
  dataCount_ = 0;
  if (runningStatus_ >= 0xF0) runningStatus_ = 0;
  return out;
}

}  // namespace r9
