// The one driver emulation over transports: the lists of several transports, opening exactly
// the port a list showed, and a transport's failures reaching the host as result codes with the
// transport's reason and as lines of the backend log.
#include "platform/emulated_midi_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "midi/dx_midi_out.h"
#include "platform/backend_log.h"
#include "platform/fake/fake_transport.h"
#include "tests/platform/listed_names.h"

namespace r9 {
namespace {

using test::FakeTransport;

std::string ErrorText(MidiApi& api, MMRESULT code) {
  char text[512] = {};
  api.midiOutGetErrorTextA(code, text, sizeof text);
  return text;
}

bool Logged(const std::string& line) {
  const std::vector<std::string> log = BackendMessages();
  return std::find(log.begin(), log.end(), line) != log.end();
}

class EmulatedMidiApiTest : public testing::Test {
 protected:
  FakeTransport a_{{{"a:1", "First"}, {"a:2", "Second"}}, "a"};
  FakeTransport b_{{{"b:1", "Third"}}, "b"};
  EmulatedMidiApi api_{{&a_, &b_}};
};

TEST_F(EmulatedMidiApiTest, ListsTheTransportsOneAfterTheOther) {
  const std::vector<std::string> names = {"First", "Second", "Third"};
  const char* transports[] = {"a", "a", "b"};
  ASSERT_EQ(test::ListedNames(api_, false), names);
  ASSERT_EQ(test::ListedNames(api_, true), names);
  for (uint32_t id = 0; id < 3; ++id) {
    EXPECT_STREQ(api_.Transport(false, id)->Name(), transports[id]);
    EXPECT_STREQ(api_.Transport(true, id)->Name(), transports[id]);
  }
  EXPECT_EQ(api_.Transport(false, 3), nullptr);
  MIDIINCAPSA caps;
  EXPECT_EQ(api_.midiInGetDevCapsA(3, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
}

// The ports changed after the listing: every entry opens the port it showed, or fails when that
// port has gone; an index never lands on the port that took its place.
TEST_F(EmulatedMidiApiTest, AnEntryOpensThePortItShowedOrNone) {
  struct Case {
    uint32_t entry;
    MMRESULT result;
    const char* opened;
  } cases[] = {
      {0, MMSYSERR_BADDEVICEID, nullptr},  // "a:1" went; "a:9" is at its index now
      {1, MMSYSERR_NOERROR, "a:2"},         // moved up a place, still opened by its entry
      {2, MMSYSERR_NOERROR, "b:1"},
  };
  for (const bool output : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE((output ? "out " : "in ") + std::to_string(c.entry));
      FakeTransport a({{"a:1", "First"}, {"a:2", "Second"}}, "a");
      FakeTransport b({{"b:1", "Third"}}, "b");
      EmulatedMidiApi api({&a, &b});
      ASSERT_EQ(output ? api.midiOutGetNumDevs() : api.midiInGetNumDevs(), 3u);
      a.SetPorts({{"a:9", "First"}, {"a:2", "Second"}});
      HMIDIIN in = nullptr;
      HMIDIOUT out = nullptr;
      const MMRESULT result = output ? api.midiOutOpen(&out, c.entry, 0, 0, CALLBACK_NULL)
                                     : api.midiInOpen(&in, c.entry, nullptr, 0, CALLBACK_NULL);
      EXPECT_EQ(result, c.result);
      std::vector<std::string> opened = a.Opened();
      const std::vector<std::string> fromB = b.Opened();
      opened.insert(opened.end(), fromB.begin(), fromB.end());
      if (c.opened == nullptr) {
        EXPECT_TRUE(opened.empty());
        EXPECT_NE(ErrorText(api, result).find("the port has gone"), std::string::npos);
      } else {
        EXPECT_EQ(opened, std::vector<std::string>{std::string(output ? "out " : "in ") + c.opened});
      }
      if (out) {
        EXPECT_EQ(api.midiOutClose(out), MMSYSERR_NOERROR);
      }
      if (in) {
        EXPECT_EQ(api.midiInClose(in), MMSYSERR_NOERROR);
      }
    }
  }
}

// What a transport reports is neither swallowed nor left to a later time-out: a listing's
// problem and a send the link refused each reach the host and the backend log.
TEST_F(EmulatedMidiApiTest, ATransportsFailuresReachTheHostAndTheLog) {
  a_.SetListProblem({MMSYSERR_ERROR, "card 3 left out: Permission denied"});
  ASSERT_EQ(api_.midiOutGetNumDevs(), 3u);
  EXPECT_EQ(api_.LastProblem(), "card 3 left out: Permission denied");
  EXPECT_TRUE(Logged("a: card 3 left out: Permission denied"));
  EXPECT_NE(ErrorText(api_, MMSYSERR_ERROR).find("Permission denied"), std::string::npos);

  CDxMidiOut out(api_);
  ASSERT_TRUE(out.Open(2));
  b_.SetLink(FakeTransport::Link::kFails);
  char frame[] = {'\xF0', 0x7D, 0x01, '\xF7'};
  MIDIHDR header;
  header.lpData = frame;
  header.dwBufferLength = sizeof frame;
  EXPECT_FALSE(out.SendLongMessage(&header));
  EXPECT_TRUE(Logged("b: the link failed"));
  EXPECT_TRUE(b_.Sent("b:1").empty());
  b_.SetLink(FakeTransport::Link::kTakes);
  EXPECT_TRUE(out.SendLongMessage(&header));
  EXPECT_EQ(b_.Sent("b:1").size(), sizeof frame);
}

}  // namespace
}  // namespace r9
