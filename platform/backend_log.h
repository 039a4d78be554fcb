// What the MIDI libraries say (a server that cannot be reached, a port that went away). Their
// own printing to the terminal is turned off; their messages are kept here instead, for a trace
// file or a debug log. With the environment variable R9_MIDI_DEBUG set they also go to stderr.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace r9 {

// Adds one message, prefixed with its source ("jack", "alsa"). Any thread; never blocks for
// long, so a library may call it from its own threads.
void LogBackendMessage(const char* source, const char* text);

// The messages kept so far (the last 200), oldest first.
std::vector<std::string> BackendMessages();

// Calls sink with every message kept so far and every later one (null: stop).
void SetBackendMessageSink(std::function<void(const std::string&)> sink);

}  // namespace r9
