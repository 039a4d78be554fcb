#include "sim/sim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

#include "firmware/image_set.h"
#include "sim/stamps.h"

namespace r9 {

namespace {

constexpr const char* kKindNames[kHostFrameKindCount] = {"identity", "enter",  "write",         "erase", "read",
                                                         "finish",   "status", "host-identity", "other"};
constexpr const char* kFaultNames[] = {"drop", "error", "late", "dup", "corrupt", "silent", "reject", "lose", "stale"};

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// Whole-string conversions: trailing garbage, signs where none belong and overflow all fail.
bool ParseUnsigned(const std::string& s, uint64_t* value) {
  if (s.empty() || s.size() > 20) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

bool ParseDouble(const std::string& s, double* value) {
  if (s.empty()) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || c == '.')) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

// Four SysEx data bytes as 8 hex digits.
bool ParseFourBytes(const std::string& s, std::array<uint8_t, 4>* bytes) {
  if (s.size() != 8) return false;
  std::array<uint8_t, 4> b{};
  for (size_t i = 0; i < 8; ++i) {
    const char c = s[i];
    int nibble;
    if (c >= '0' && c <= '9')
      nibble = c - '0';
    else if (c >= 'a' && c <= 'f')
      nibble = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      nibble = c - 'A' + 10;
    else
      return false;
    b[i / 2] = uint8_t(b[i / 2] << 4 | nibble);
  }
  for (uint8_t v : b)
    if (v >= 0x80) return false;
  *bytes = b;
  return true;
}

bool ParseStamp(const std::string& s, StampPreset* preset) {
  if (s == "same")
    *preset = StampPreset::kSame;
  else if (s == "old")
    *preset = StampPreset::kOld;
  else if (s == "erased")
    *preset = StampPreset::kErased;
  else
    return false;
  return true;
}

bool ParseKindName(const std::string& s, HostFrameKind* kind) {
  for (size_t i = 0; i < kHostFrameKindCount; ++i) {
    if (s == kKindNames[i]) {
      *kind = static_cast<HostFrameKind>(i);
      return true;
    }
  }
  return false;
}

// KIND@[FRAMEKIND:]N[-M], e.g. "error@write:3", "drop@7", "error@erase:1-6".
bool ParseFault(const std::string& s, AimedFault* fault, std::string* why) {
  const size_t at = s.find('@');
  if (at == std::string::npos) {
    *why = "expected KIND@[FRAMEKIND:]N[-M]";
    return false;
  }
  const std::string kindText = s.substr(0, at);
  std::string target = s.substr(at + 1);
  AimedFault f;
  bool known = false;
  for (size_t i = 0; i < sizeof kFaultNames / sizeof kFaultNames[0]; ++i) {
    if (kindText == kFaultNames[i]) {
      f.kind = static_cast<FaultKind>(i);
      known = true;
    }
  }
  if (!known) {
    *why = "unknown fault kind '" + kindText + "' (drop, error, late, dup, corrupt, silent, reject, lose)";
    return false;
  }
  const size_t colon = target.find(':');
  if (colon != std::string::npos) {
    const std::string frameKind = target.substr(0, colon);
    if (!ParseKindName(frameKind, &f.frameKind) || f.frameKind == HostFrameKind::kOther) {
      *why = "unknown frame kind '" + frameKind + "'";
      return false;
    }
    f.anyKind = false;
    target = target.substr(colon + 1);
  }
  const size_t dash = target.find('-');
  uint64_t first = 0, last = 0;
  const std::string firstText = target.substr(0, dash);
  const std::string lastText = dash == std::string::npos ? firstText : target.substr(dash + 1);
  if (!ParseUnsigned(firstText, &first) || !ParseUnsigned(lastText, &last) || first == 0 || last < first ||
      last > UINT32_MAX) {
    *why = "bad frame number '" + target + "' (from 1; a range N-M needs M >= N)";
    return false;
  }
  f.first = uint32_t(first);
  f.last = uint32_t(last);
  *fault = f;
  return true;
}

bool ParseScope(const std::string& s, uint32_t* scope) {
  if (s == "all") {
    uint32_t all = 0;
    for (size_t i = 0; i < kHostFrameKindCount; ++i) all |= 1u << i;
    *scope = all;
    return true;
  }
  uint32_t bits = 0;
  for (const std::string& name : Split(s, '+')) {
    HostFrameKind kind;
    if (!ParseKindName(name, &kind)) return false;
    bits |= KindBit(kind);
  }
  *scope = bits;
  return true;
}

// Applies one key=value item to *o; on failure sets *error.
bool ApplyItem(const std::string& key, const std::string& value, SimOptions* o, std::string* error) {
  auto bad = [&](const std::string& expected) {
    *error = "bad value '" + value + "' for key '" + key + "': expected " + expected;
    return false;
  };
  auto probability = [&](double* p) {
    double v;
    if (!ParseDouble(value, &v) || v > 1) return bad("a probability from 0 to 1");
    *p = v;
    return true;
  };
  auto millis = [&](double* ms) {
    double v;
    if (!ParseDouble(value, &v)) return bad("milliseconds, 0 or more");
    *ms = v;
    return true;
  };

  for (size_t i = 0; i < kStampPlaces.size(); ++i) {
    const StampPlace& place = kStampPlaces[i];
    if (key != place.key) continue;
    StampPreset p;
    if (!ParseStamp(value, &p)) return bad("same, old or erased");
    uint8_t stamp[4];
    // The carried stamp comes out of the image, so a build without it cannot preset it.
    if (p == StampPreset::kSame && LoadImageBytes(place.image, place.offset, 4, stamp) != 0) {
      *error = "key '" + key + "': same needs the carried image " + std::to_string(place.image) + ", which is missing";
      return false;
    }
    StampPreset* const fields[] = {&o->boot, &o->system, &o->preset, &o->submcu};
    *fields[i] = p;
    return true;
  }
  if (key == "preset-read") {
    if (value == "ok")
      o->presetRead = PresetRead::kOk;
    else if (value == "fail")
      o->presetRead = PresetRead::kFail;
    else if (value == "fail-once")
      o->presetRead = PresetRead::kFailOnce;
    else
      return bad("ok, fail or fail-once");
    return true;
  }
  if (key == "mode") {
    if (value == "update")
      o->startInUpdateMode = true;
    else if (value == "normal")
      o->startInUpdateMode = false;
    else
      return bad("update or normal");
    return true;
  }
  if (key == "identity" || key == "revision") {
    std::array<uint8_t, 4> bytes;
    if (!ParseFourBytes(value, &bytes)) return bad("8 hex digits, each byte below 80");
    (key == "identity" ? o->identity : o->revision) = bytes;
    return true;
  }
  if (key == "drop") return probability(&o->dropProbability);
  if (key == "errors") return probability(&o->errorProbability);
  if (key == "late") return probability(&o->lateProbability);
  if (key == "dup") return probability(&o->duplicateProbability);
  if (key == "corrupt") return probability(&o->corruptProbability);
  if (key == "rejects") return probability(&o->rejectProbability);
  if (key == "scope") {
    if (!ParseScope(value, &o->randomScope))
      return bad("frame kinds joined by '+' (identity, enter, write, erase, read, finish), or all");
    return true;
  }
  if (key == "seed") {
    uint64_t v;
    if (!ParseUnsigned(value, &v)) return bad("an unsigned integer");
    o->seed = v;
    return true;
  }
  if (key == "fault") {
    AimedFault f;
    std::string why;
    if (!ParseFault(value, &f, &why)) return bad(why);
    o->faults.push_back(f);
    return true;
  }
  if (key == "silent-after") {
    uint64_t v;
    if (!ParseUnsigned(value, &v) || v == 0 || v > UINT32_MAX) return bad("a host frame number from 1");
    o->silentAfter = uint32_t(v);
    return true;
  }
  if (key == "max-read") {
    uint64_t v;
    if (!ParseUnsigned(value, &v) || v == 0 || v > kMaxBlockData) return bad("a number of bytes from 1 to 16383");
    o->maxRead = uint32_t(v);
    return true;
  }
  if (key == "long-read") {
    if (value == "refuse")
      o->longReadShort = false;
    else if (value == "short")
      o->longReadShort = true;
    else
      return bad("refuse or short");
    return true;
  }
  if (key == "unerased") {
    if (value == "refuse")
      o->unerasedAnd = false;
    else if (value == "and")
      o->unerasedAnd = true;
    else
      return bad("refuse or and");
    return true;
  }
  if (key == "late-ms") return millis(&o->lateMillis);
  if (key == "link") {
    if (value == "ideal")
      o->linkBytesPerSecond = 0;
    else if (value == "usb")
      o->linkBytesPerSecond = 1000000;
    else if (value == "din")
      o->linkBytesPerSecond = 3125;  // 31,250 baud, 10 bits a byte
    else {
      uint64_t v;
      if (!ParseUnsigned(value, &v) || v == 0) return bad("ideal, usb, din or bytes per second");
      o->linkBytesPerSecond = double(v);
    }
    return true;
  }
  if (key == "latency") return millis(&o->latencyMillis);
  if (key == "erase-ms") return millis(&o->eraseMillisPer4K);
  if (key == "write-ms") return millis(&o->writeMillisPerBlock);
  if (key == "scale") {
    double v;
    if (!ParseDouble(value, &v)) return bad("a time scale, 0 (full speed) or more");
    o->timeScale = v;
    return true;
  }
  if (key == "flash") {
    if (value.empty()) return bad("a file name");
    o->flashFile = value;
    return true;
  }
  if (key == "name") {
    if (value.empty()) return bad("a port name");
    o->portName = value;
    return true;
  }
  *error = "unknown key '" + key + "'";
  return false;
}

}  // namespace

const char* HostFrameKindName(HostFrameKind kind) {
  const size_t i = static_cast<size_t>(kind);
  return i < kHostFrameKindCount ? kKindNames[i] : "?";
}

const char* FaultKindName(FaultKind kind) {
  const size_t i = static_cast<size_t>(kind);
  return i < sizeof kFaultNames / sizeof kFaultNames[0] ? kFaultNames[i] : "?";
}

bool ParseSimOptions(const std::string& text, SimOptions* out, std::string* error) {
  SimOptions options = *out;
  std::set<std::string> seen;
  if (!Trim(text).empty()) {
    for (const std::string& rawItem : Split(text, ',')) {
      const std::string item = Trim(rawItem);
      const size_t eq = item.find('=');
      if (item.empty() || eq == std::string::npos || eq == 0) {
        *error = "bad item '" + item + "': expected key=value";
        return false;
      }
      const std::string key = Trim(item.substr(0, eq));
      const std::string value = Trim(item.substr(eq + 1));
      // Only fault may repeat; a key given twice is almost always a typo in the other one.
      if (key != "fault" && !seen.insert(key).second) {
        *error = "key '" + key + "' given twice";
        return false;
      }
      if (!ApplyItem(key, value, &options, error)) return false;
    }
  }
  *out = options;
  return true;
}

}  // namespace r9
