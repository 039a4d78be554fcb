// The trace of a run: one line per SysEx message sent or received. The console's --trace file is
// one; every run log carries one too, with the texts the user saw as comment lines between.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "platform/backend_log.h"

namespace r9 {

// One line per SysEx message: seconds since the trace began, direction, the bytes in hex. A
// frame handed to the port is written once the port says it went out, so a frame that never
// left (refused, timed out, cut off by a close) gets no "out" line but a "# not sent" comment;
// lines that come in meanwhile wait behind it, so the order stays as it happened.
class Trace {
 public:
  bool Open(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    Adopt(file, "# r9-updater-cli trace\n");
    return true;
  }
  // Writes into an open file from now on (its clock starts now), after the header lines given;
  // the trace closes the file.
  void Adopt(FILE* file, const std::string& header) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = file;
    start_ = std::chrono::steady_clock::now();
    std::fputs(header.c_str(), file_);
    std::fflush(file_);
  }
  ~Trace() { Close(); }
  // Frames still on their way are written as not sent; then the file is closed.
  void Close() {
    if (capturing_) SetBackendMessageSink(nullptr);
    capturing_ = false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    for (Entry& e : entries_)
      if (e.pending) e.sent = false, e.pending = false;
    Flush();
    std::fclose(file_);
    file_ = nullptr;
  }
  // A comment line "# <seconds> <text>" in order with the frames (each line of a text of
  // several lines gets one).
  void Note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    const std::string head = "# " + Seconds() + " ";
    size_t begin = 0;
    do {
      const size_t end = text.find('\n', begin);
      entries_.push_back({head + text.substr(begin, end - begin), nullptr, false, true});
      begin = end == std::string::npos ? end : end + 1;
    } while (begin != std::string::npos && begin < text.size());
    Flush();
  }
  // What a MIDI library said, as a comment line.
  void Backend(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    entries_.push_back({"# " + text, nullptr, false, true});
    Flush();
  }
  // The frame at bytes was handed to the port.
  void Out(const uint8_t* bytes, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    entries_.push_back({Line("out", bytes, length), bytes, true, false});
  }
  // The port has said whether the frame at bytes went out.
  void OutResult(const uint8_t* bytes, bool sent) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    for (Entry& e : entries_) {
      if (e.pending && e.key == bytes) {
        e.pending = false;
        e.sent = sent;
        break;
      }
    }
    Flush();
  }
  // What the MIDI libraries say (a server that could not be reached, a port that went away)
  // goes into the trace as comment lines, in order with the frames.
  void CaptureBackendMessages() {
    capturing_ = true;
    SetBackendMessageSink([this](const std::string& text) { Backend(text); });
  }
  void In(const uint8_t* bytes, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    entries_.push_back({Line("in", bytes, length), nullptr, false, true});
    Flush();
  }

 private:
  struct Entry {
    std::string line;
    const uint8_t* key;
    bool pending;
    bool sent;
  };
  std::string Seconds() const {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", seconds);
    return text;
  }
  std::string Line(const char* direction, const uint8_t* bytes, size_t length) const {
    std::string line = Seconds() + " " + direction;
    line.reserve(line.size() + 3 * length);
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < length; ++i) {
      line += ' ';
      line += kHex[bytes[i] >> 4];
      line += kHex[bytes[i] & 15];
    }
    return line;
  }
  // Writes the entries at the front that are settled.
  void Flush() {
    bool wrote = false;
    while (!entries_.empty() && !entries_.front().pending) {
      const Entry& e = entries_.front();
      if (e.sent || e.line[0] == '#')
        std::fprintf(file_, "%s\n", e.line.c_str());
      else
        std::fprintf(file_, "# not sent: %s\n", e.line.c_str());
      entries_.pop_front();
      wrote = true;
    }
    if (wrote) std::fflush(file_);  // a trace must hold what happened before a crash or a kill
  }

  FILE* file_ = nullptr;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::deque<Entry> entries_;
  bool capturing_ = false;
};

}  // namespace r9
