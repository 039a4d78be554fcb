#include "platform/port_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace r9 {
namespace {

struct CutCase {
  std::string name;
  size_t maxBytes;
  std::string expected;
};

TEST(PortNameTest, CutsOnlyBetweenUtf8Characters) {
  const std::string a = "\xC3\xA9";             // 2 bytes
  const std::string ka = "\xE3\x82\xAB";        // 3 bytes
  const std::string note = "\xF0\x9D\x84\x9E";  // 4 bytes
  const CutCase cases[] = {
      {"KORVEN R9", 255, "KORVEN R9"},
      {"KORVEN R9", 6, "KORVEN"},
      {"", 0, ""},
      {"abc", 0, ""},
      {"ab" + a, 3, "ab"},
      {"ab" + a, 4, "ab" + a},
      {ka + ka, 5, ka},
      {ka + ka, 4, ka},
      {ka + ka, 2, ""},
      {"x" + note + "y", 4, "x"},
      {"x" + note + "y", 5, "x" + note},
      {std::string(300, 'p'), 255, std::string(255, 'p')},
  };
  for (const CutCase& c : cases) EXPECT_EQ(CutAtUtf8Boundary(c.name, c.maxBytes), c.expected) << c.name;
}

TEST(PortNameTest, CopiesIntoAFieldWithItsZero) {
  char field[6];
  std::memset(field, 'z', sizeof field);
  CopyPortName("R9 \xE3\x82\xAB", field, sizeof field);  // 6 bytes do not fit with the zero
  EXPECT_STREQ(field, "R9 ");
  CopyPortName("R9", field, sizeof field);
  EXPECT_STREQ(field, "R9");
  std::string longName;
  for (int i = 0; i < 100; ++i) longName += "\xE3\x82\xAB";
  char caps[256];
  CopyPortName(longName, caps, sizeof caps);
  EXPECT_EQ(std::string(caps), longName.substr(0, 255));
}

}  // namespace
}  // namespace r9
