// Splits a raw MIDI byte stream (what arrives on a cable or a virtual link) into the pieces an
// input driver reports: short messages, real-time bytes, and the bytes of system-exclusive
// messages. It keeps running status and knows which status bytes end an open SysEx.
#pragma once

#include <cstdint>

namespace r9 {

// Number of bytes of the short message that begins with status, 1 to 3; 0 for a byte that
// starts no short message (data bytes, F0, F7 and the undefined F4, F5).
int ShortMessageLength(uint8_t status);

struct ParsedByte {
  enum class Kind {
    kNone,       // nothing to report yet (a data byte of an unfinished message, or a stray byte)
    kShort,      // shortMessage holds a complete short or real-time message, packed
    kSysExByte,  // the byte belongs to a SysEx message (F0, its data bytes and its closing F7)
  };
  Kind kind = Kind::kNone;
  // An open SysEx ended before this byte without its F7 (a status byte or a new F0 cut it off).
  bool endsOpenSysEx = false;
  // The byte was the F7 that closes the SysEx.
  bool completesSysEx = false;
  // status | data1 << 8 | data2 << 16, for kShort.
  uint32_t shortMessage = 0;
};

class MidiStreamParser {
 public:
  ParsedByte Feed(uint8_t byte);
  // True when byte, fed next, would be stored in a SysEx buffer.
  bool NeedsSysExBuffer(uint8_t byte) const;
  bool InSysEx() const { return inSysEx_; }
  // Ends an open SysEx without its F7; the bytes that follow are read as outside it.
  void AbandonSysEx() { inSysEx_ = false; }
  void Reset();

 private:
  bool inSysEx_ = false;
  uint8_t runningStatus_ = 0;
  uint8_t data_[2] = {};
  int dataCount_ = 0;
};

}  // namespace r9
