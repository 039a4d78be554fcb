#include "sim/sim_options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace r9 {
namespace {

struct GoodCase {
  const char* text;
  std::function<bool(const SimOptions&)> holds;
};

TEST(SimOptionsTest, DefaultsAreAFreshDeviceAtFullSpeed) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(ParseSimOptions("", &o, &error)) << error;
  EXPECT_EQ(o.identity, (Identity{0x3A, 0x00, 0x05, 0x00}));
  EXPECT_TRUE(o.startInUpdateMode);
  EXPECT_EQ(o.boot, StampPreset::kErased);
  EXPECT_EQ(o.system, StampPreset::kErased);
  EXPECT_EQ(o.preset, StampPreset::kErased);
  EXPECT_EQ(o.submcu, StampPreset::kErased);
  EXPECT_EQ(o.presetRead, PresetRead::kOk);
  EXPECT_EQ(o.timeScale, 0);
  EXPECT_EQ(o.dropProbability + o.errorProbability + o.lateProbability + o.duplicateProbability + o.corruptProbability,
            0);
  EXPECT_TRUE(o.faults.empty());
  EXPECT_EQ(o.silentAfter, 0u);
  EXPECT_EQ(o.portName, "KORVEN R9");
}

TEST(SimOptionsTest, AcceptsEveryKey) {
  const GoodCase cases[] = {
      {"boot=same", [](const SimOptions& o) { return o.boot == StampPreset::kSame; }},
      {"boot=old", [](const SimOptions& o) { return o.boot == StampPreset::kOld; }},
      {"boot=erased", [](const SimOptions& o) { return o.boot == StampPreset::kErased; }},
      {"system=old,preset=same,submcu=old",
       [](const SimOptions& o) {
         return o.system == StampPreset::kOld && o.preset == StampPreset::kSame && o.submcu == StampPreset::kOld;
       }},
      {"preset-read=fail", [](const SimOptions& o) { return o.presetRead == PresetRead::kFail; }},
      {"preset-read=fail-once", [](const SimOptions& o) { return o.presetRead == PresetRead::kFailOnce; }},
      {"mode=normal", [](const SimOptions& o) { return !o.startInUpdateMode; }},
      {"mode=update", [](const SimOptions& o) { return o.startInUpdateMode; }},
      {"identity=3A000400",
       [](const SimOptions& o) {
         return o.identity == Identity{0x3A, 0x00, 0x04, 0x00};
       }},
      {"identity=7f0a0b0c",
       [](const SimOptions& o) {
         return o.identity == Identity{0x7F, 0x0A, 0x0B, 0x0C};
       }},
      {"revision=01020304",
       [](const SimOptions& o) {
         return o.revision == std::array<uint8_t, 4>{1, 2, 3, 4};
       }},
      {"drop=0.05,errors=0.5,late=1,dup=0,corrupt=.25",
       [](const SimOptions& o) {
         return o.dropProbability == 0.05 && o.errorProbability == 0.5 && o.lateProbability == 1 &&
                o.duplicateProbability == 0 && o.corruptProbability == 0.25;
       }},
      {"scope=write+read",
       [](const SimOptions& o) {
         return o.randomScope == (KindBit(HostFrameKind::kWriteBlock) | KindBit(HostFrameKind::kReadRequest));
       }},
      {"scope=all",
       [](const SimOptions& o) { return (o.randomScope & KindBit(HostFrameKind::kIdentityRequest)) != 0; }},
      {"seed=18446744073709551615", [](const SimOptions& o) { return o.seed == UINT64_MAX; }},
      {"fault=error@write:3",
       [](const SimOptions& o) {
         return o.faults.size() == 1 && o.faults[0].kind == FaultKind::kError && !o.faults[0].anyKind &&
                o.faults[0].frameKind == HostFrameKind::kWriteBlock && o.faults[0].first == 3 && o.faults[0].last == 3;
       }},
      {"fault=drop@7,fault=error@erase:1-6",
       [](const SimOptions& o) {
         return o.faults.size() == 2 && o.faults[0].kind == FaultKind::kDrop && o.faults[0].anyKind &&
                o.faults[0].first == 7 && o.faults[1].frameKind == HostFrameKind::kErase && o.faults[1].first == 1 &&
                o.faults[1].last == 6;
       }},
      {"fault=late@identity:1,fault=dup@finish:2,fault=corrupt@read:4,fault=silent@enter:1",
       [](const SimOptions& o) {
         return o.faults.size() == 4 && o.faults[0].kind == FaultKind::kLate &&
                o.faults[1].kind == FaultKind::kDuplicate && o.faults[2].kind == FaultKind::kCorruptCrc &&
                o.faults[3].kind == FaultKind::kSilent && o.faults[3].frameKind == HostFrameKind::kEnterUpdate;
       }},
      {"fault=reject@write:5-6,rejects=0.125",
       [](const SimOptions& o) {
         return o.faults.size() == 1 && o.faults[0].kind == FaultKind::kReject &&
                o.faults[0].frameKind == HostFrameKind::kWriteBlock && o.faults[0].first == 5 &&
                o.faults[0].last == 6 && o.rejectProbability == 0.125;
       }},
      {"max-read=1024,long-read=short", [](const SimOptions& o) { return o.maxRead == 1024 && o.longReadShort; }},
      {"fault=lose@write:7",
       [](const SimOptions& o) { return o.faults.size() == 1 && o.faults[0].kind == FaultKind::kLose; }},
      {"silent-after=12", [](const SimOptions& o) { return o.silentAfter == 12; }},
      {"late-ms=2500", [](const SimOptions& o) { return o.lateMillis == 2500; }},
      {"link=din", [](const SimOptions& o) { return o.linkBytesPerSecond == 3125; }},
      {"link=usb", [](const SimOptions& o) { return o.linkBytesPerSecond == 1000000; }},
      {"link=ideal", [](const SimOptions& o) { return o.linkBytesPerSecond == 0; }},
      {"link=9600", [](const SimOptions& o) { return o.linkBytesPerSecond == 9600; }},
      {"latency=2.5", [](const SimOptions& o) { return o.latencyMillis == 2.5; }},
      {"erase-ms=0,write-ms=3",
       [](const SimOptions& o) { return o.eraseMillisPer4K == 0 && o.writeMillisPerBlock == 3; }},
      {"scale=0.5", [](const SimOptions& o) { return o.timeScale == 0.5; }},
      {"name=R9 Test Port", [](const SimOptions& o) { return o.portName == "R9 Test Port"; }},
      {" boot = old , seed = 3 ", [](const SimOptions& o) { return o.boot == StampPreset::kOld && o.seed == 3; }},
  };
  for (const GoodCase& c : cases) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(ParseSimOptions(c.text, &o, &error)) << c.text << ": " << error;
    EXPECT_TRUE(c.holds(o)) << c.text;
  }
}

struct BadCase {
  const char* text;
  const char* mustMention;  // the key, or what else identifies the mistake
};

TEST(SimOptionsTest, RefusesBadStringsNamingTheKey) {
  const BadCase cases[] = {
      {"colour=red", "unknown key 'colour'"},
      {"boot=new", "'boot'"},
      {"system=1.10", "'system'"},
      {"preset-read=maybe", "'preset-read'"},
      {"mode=Update", "'mode'"},
      {"drop=1.5", "'drop'"},
      {"errors=-0.1", "'errors'"},
      {"late=abc", "'late'"},
      {"rejects=1.5", "'rejects'"},
      {"max-read=0", "'max-read'"},
      {"max-read=16384", "'max-read'"},
      {"long-read=maybe", "'long-read'"},
      {"dup=", "'dup'"},
      {"corrupt=0.1x", "'corrupt'"},
      {"identity=3A0004", "'identity'"},
      {"identity=8A000400", "'identity'"},
      {"identity=3A00040G", "'identity'"},
      {"revision=FFFFFFFF", "'revision'"},
      {"seed=-1", "'seed'"},
      {"seed=12x", "'seed'"},
      {"seed=99999999999999999999", "'seed'"},
      {"fault=explode@3", "unknown fault kind 'explode'"},
      {"fault=error@write:0", "'fault'"},
      {"fault=error@bogus:1", "unknown frame kind 'bogus'"},
      {"fault=error@erase:6-1", "'fault'"},
      {"fault=error", "'fault'"},
      {"fault=error@", "'fault'"},
      {"silent-after=0", "'silent-after'"},
      {"silent-after=x", "'silent-after'"},
      {"late-ms=soon", "'late-ms'"},
      {"link=fast", "'link'"},
      {"link=0", "'link'"},
      {"latency=-2", "'latency'"},
      {"erase-ms=1e3", "'erase-ms'"},
      {"write-ms=", "'write-ms'"},
      {"scale=-1", "'scale'"},
      {"scope=write+nope", "'scope'"},
      {"name=", "'name'"},
      {"boot", "'boot'"},
      {"=3", "'=3'"},
      {"seed=1,seed=2", "key 'seed' given twice"},
      {"boot=old,,seed=1", "expected key=value"},
  };
  for (const BadCase& c : cases) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(ParseSimOptions(c.text, &o, &error)) << c.text;
    EXPECT_NE(error.find(c.mustMention), std::string::npos) << c.text << " gave: " << error;
  }
}

TEST(SimOptionsTest, AFailedParseLeavesTheOptionsAlone) {
  SimOptions o;
  o.seed = 42;
  std::string error;
  EXPECT_FALSE(ParseSimOptions("seed=5,boot=new", &o, &error));
  EXPECT_EQ(o.seed, 42u);
  EXPECT_EQ(o.boot, StampPreset::kErased);
}

TEST(SimOptionsTest, ParsesOverTheGivenValues) {
  SimOptions o;
  o.seed = 42;
  std::string error;
  ASSERT_TRUE(ParseSimOptions("boot=old", &o, &error)) << error;
  EXPECT_EQ(o.seed, 42u);
  EXPECT_EQ(o.boot, StampPreset::kOld);
}

}  // namespace
}  // namespace r9
