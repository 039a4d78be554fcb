#include "platform/backend_log.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace r9 {
namespace {

constexpr size_t kKept = 200;

struct Log {
  std::mutex mutex;
  std::deque<std::string> messages;
  std::function<void(const std::string&)> sink;
};

Log& TheLog() {
  static Log* log = new Log;  // lives on for the library threads that may log during exit
  return *log;
}

}  // namespace

void LogBackendMessage(const char* source, const char* text) {
  std::string line = std::string(source) + ": " + (text ? text : "");
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  static const bool toStderr = std::getenv("R9_MIDI_DEBUG") != nullptr;
  if (toStderr) std::fprintf(stderr, "%s\n", line.c_str());
  Log& log = TheLog();
  std::lock_guard lock(log.mutex);
  if (log.sink) log.sink(line);
  log.messages.push_back(std::move(line));
  if (log.messages.size() > kKept) log.messages.pop_front();
}

std::vector<std::string> BackendMessages() {
  Log& log = TheLog();
  std::lock_guard lock(log.mutex);
  return {log.messages.begin(), log.messages.end()};
}

void SetBackendMessageSink(std::function<void(const std::string&)> sink) {
  Log& log = TheLog();
  std::lock_guard lock(log.mutex);
  log.sink = std::move(sink);
  if (log.sink)
    for (const std::string& line : log.messages) log.sink(line);
}

}  // namespace r9
