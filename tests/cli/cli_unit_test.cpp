// The console front-end's pieces: the exit code of every error text, the plain-line progress
// log, the trace's order of lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/console_view.h"
#include "app/exit_codes.h"
#include "app/trace.h"
#include "updater/strings.h"

namespace r9 {
namespace {

std::string Slurp(FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  return text;
}

// Every text an error box can show, with the code the console ends with.
TEST(ExitCodes, EveryErrorTextHasItsCode) {
  const std::pair<int, int> table[] = {
      {IDS_CANT_OPEN_MIDI_OUT, 2}, {IDS_CANT_OPEN_MIDI_IN, 2}, {IDS_TIMEOUT_1, 3},       {IDS_TIMEOUT_2, 3},
      {IDS_TIMEOUT_3, 3},          {IDS_ILLEGAL_DEVICE, 4},    {IDS_USE_UPDATE_MODE, 4}, {IDS_TRANSFER_ERROR, 5},
  };
  for (auto [id, code] : table) {
    SCOPED_TRACE(LoadString(id));
    ASSERT_FALSE(LoadString(id).empty());
    EXPECT_EQ(ExitCodeForMessage(LoadString(id)), code);
  }
  // Texts that are no failure of the device fall back to the code of a failure without a text.
  EXPECT_EQ(ExitCodeForMessage(LoadString(IDS_IN_PROGRESS)), 6);
  EXPECT_EQ(ExitCodeForMessage("something else"), 6);
}

// A log (no terminal) prints a line whenever the step changes, also when the status text stays
// the same: rows 1 and 2 both erase, and a missing "[2/12]" line would look like a skipped row.
TEST(ConsoleLog, ALineWheneverTheStepChanges) {
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    ConsoleView view(out, out, out, false);
    view.SetStepCounter("1/12");
    view.SetProgressRange(10);
    view.SetStatusLine("Erasing Flash memory.");
    view.SetStepCounter("2/12");
    view.SetProgressRange(10);
    view.SetStatusLine("Erasing Flash memory.");
    view.SetStatusLine("Erasing Flash memory.");  // the same step and text: nothing new
    view.SetStepCounter("3/12");
    view.SetProgressRange(8192);
    view.SetStatusLine("Data transmit  0 / 8192 ");
    view.SetStatusLine("Data transmit  4096 / 8192 ");  // the same stage: counted in tenths
  }
  EXPECT_EQ(Slurp(out),
            "[1/12] Erasing Flash memory.\n[2/12] Erasing Flash memory.\n[3/12] Data transmit  0 / 8192 \n");
  std::fclose(out);
}

std::vector<std::string> TraceLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    // Drop the time stamp: "<seconds> <rest>".
    const size_t blank = line.find(' ');
    lines.push_back(line[0] == '#' || blank == std::string::npos ? line : line.substr(blank + 1));
  }
  return lines;
}

// An out line is written once the frame has gone out; a frame that did not gets a comment in
// its place, and an answer that came in meanwhile stays behind it.
TEST(TraceFile, OutLinesOnlyForFramesThatWentOut) {
  char path[] = "/tmp/r9-trace-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const uint8_t a[] = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
  const uint8_t b[] = {0xF0, 0x7D, 0x00, 0x3A, 0x01, 0xF7};
  const uint8_t reply[] = {0xF0, 0x7D, 0x00, 0x3A, 0x00, 0x00, 0xF7};
  {
    Trace trace;
    ASSERT_TRUE(trace.Open(path));
    trace.Out(a, sizeof a);
    trace.In(reply, sizeof reply);  // came in before the port said the frame was out
    EXPECT_EQ(TraceLines(path).size(), 1u) << "held behind the frame still on its way";
    trace.OutResult(a, true);
    trace.Out(b, sizeof b);
    trace.OutResult(b, false);
    trace.Out(a, sizeof a);  // cut off by the end of the program
  }
  EXPECT_THAT(TraceLines(path),
              testing::ElementsAre("# r9-updater-cli trace", "out F0 7E 00 06 01 F7", "in F0 7D 00 3A 00 00 F7",
                                   testing::StartsWith("# not sent: "), testing::StartsWith("# not sent: ")));
  const std::vector<std::string> lines = TraceLines(path);
  EXPECT_THAT(lines[3], testing::EndsWith("out F0 7D 00 3A 01 F7"));
  std::remove(path);
}

}  // namespace
}  // namespace r9
