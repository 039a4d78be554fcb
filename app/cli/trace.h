// The console's --trace file: one line per SysEx message sent or received.
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
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) return false;
    start_ = std::chrono::steady_clock::now();
    std::fputs("# r9-updater-cli trace\n", file_);
    std::fflush(file_);
    return true;
  }
  ~Trace() {
    if (capturing_) SetBackendMessageSink(nullptr);
    if (!file_) return;
    for (Entry& e : entries_)
      if (e.pending) e.sent = false, e.pending = false;
    Flush();
    std::fclose(file_);
  }
  // The frame at bytes was handed to the port.
  void Out(const uint8_t* bytes, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back({Line("out", bytes, length), bytes, true, false});
  }
  // The port has said whether the frame at bytes went out.
  void OutResult(const uint8_t* bytes, bool sent) {
    std::lock_guard<std::mutex> lock(mutex_);
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
    SetBackendMessageSink([this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      entries_.push_back({"# " + text, nullptr, false, true});
      Flush();
    });
  }
  void In(const uint8_t* bytes, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
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
  std::string Line(const char* direction, const uint8_t* bytes, size_t length) const {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char head[40];
    std::snprintf(head, sizeof head, "%.6f %s", seconds, direction);
    std::string line = head;
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
