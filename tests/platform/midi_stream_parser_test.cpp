#include "platform/midi_stream_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace r9 {
namespace {

// One token per reported event: "S<packed hex>" a short message, "X" a SysEx byte, "X." the
// closing F7, "|" an open SysEx cut off.
std::vector<std::string> Parse(const std::vector<uint8_t>& stream) {
  MidiStreamParser parser;
  std::vector<std::string> events;
  for (uint8_t byte : stream) {
    const ParsedByte parsed = parser.Feed(byte);
    if (parsed.endsOpenSysEx) events.push_back("|");
    if (parsed.kind == ParsedByte::Kind::kShort) {
      char text[16];
      std::snprintf(text, sizeof text, "S%06X", unsigned(parsed.shortMessage));
      events.push_back(text);
    } else if (parsed.kind == ParsedByte::Kind::kSysExByte) {
      events.push_back(parsed.completesSysEx ? "X." : "X");
    }
  }
  return events;
}

struct ParseCase {
  const char* what;
  std::vector<uint8_t> stream;
  std::vector<std::string> events;
};

class StreamParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(StreamParseTest, ReportsWhatADriverWould) { EXPECT_EQ(Parse(GetParam().stream), GetParam().events); }

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamParseTest,
    testing::Values(
        ParseCase{"note on", {0x90, 0x3C, 0x7F}, {"S7F3C90"}},
        ParseCase{"running status", {0x90, 0x3C, 0x7F, 0x3E, 0x00}, {"S7F3C90", "S003E90"}},
        ParseCase{"two-byte channel message", {0xC5, 0x10, 0x11}, {"S0010C5", "S0011C5"}},
        ParseCase{"whole sysex", {0xF0, 0x7D, 0x01, 0xF7}, {"X", "X", "X", "X."}},
        ParseCase{"real-time inside sysex", {0xF0, 0x01, 0xF8, 0x02, 0xF7}, {"X", "X", "S0000F8", "X", "X."}},
        ParseCase{"status cuts sysex off", {0xF0, 0x01, 0x90, 0x3C, 0x7F}, {"X", "X", "|", "S7F3C90"}},
        ParseCase{"new sysex cuts old one off", {0xF0, 0x01, 0xF0, 0xF7}, {"X", "X", "|", "X", "X."}},
        ParseCase{"stray data bytes dropped", {0x01, 0x02, 0xF7}, {}}, ParseCase{"tune request", {0xF6}, {"S0000F6"}},
        ParseCase{"song position", {0xF2, 0x01, 0x02}, {"S0201F2"}},
        ParseCase{
            "system common ends running status", {0x90, 0x3C, 0x7F, 0xF1, 0x05, 0x3C, 0x7F}, {"S7F3C90", "S0005F1"}},
        ParseCase{"sysex ends running status", {0x90, 0x3C, 0x7F, 0xF0, 0xF7, 0x3C, 0x7F}, {"S7F3C90", "X", "X."}}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST(ShortMessageLengthTest, ByStatus) {
  const struct {
    uint8_t status;
    int length;
  } cases[] = {{0x00, 0}, {0x7F, 0}, {0x80, 3}, {0xBF, 3}, {0xC0, 2}, {0xDF, 2}, {0xE0, 3}, {0xF0, 0},
               {0xF1, 2}, {0xF2, 3}, {0xF3, 2}, {0xF4, 0}, {0xF6, 1}, {0xF7, 0}, {0xF8, 1}, {0xFF, 1}};
  for (const auto& c : cases) EXPECT_EQ(ShortMessageLength(c.status), c.length) << std::hex << int(c.status);
}

TEST(MidiStreamParserTest, NeedsBufferOnlyForSysExBytes) {
  MidiStreamParser parser;
  EXPECT_FALSE(parser.NeedsSysExBuffer(0x01));
  EXPECT_FALSE(parser.NeedsSysExBuffer(0xF7));
  EXPECT_TRUE(parser.NeedsSysExBuffer(0xF0));
  parser.Feed(0xF0);
  EXPECT_TRUE(parser.NeedsSysExBuffer(0x01));
  EXPECT_TRUE(parser.NeedsSysExBuffer(0xF7));
  EXPECT_FALSE(parser.NeedsSysExBuffer(0xF8));
  parser.AbandonSysEx();
  EXPECT_FALSE(parser.NeedsSysExBuffer(0x01));
}

}  // namespace
}  // namespace r9
