// Filling the port lists and preselecting the device's ports by name.
#include <gtest/gtest.h>

#include "tests/fakes/recording_midi_api.h"
#include "tests/updater/dialog_fixture.h"
#include "updater/strings.h"

namespace r9::test {
namespace {

class PortListsTest : public DialogFixture {
 protected:
  void Ports(const std::vector<std::string>& names) {
    for (const std::string& n : names) {
      endpoints.push_back(bus->Attach(n));
      ASSERT_NE(endpoints.back(), nullptr) << n;
    }
  }
  std::vector<std::shared_ptr<VirtualEndpoint>> endpoints;
};

TEST_F(PortListsTest, Preselection) {
  const std::string japanese(DefaultPortNames[0]);
  const std::string japaneseUtf8(kDefaultPortNameUtf8);
  struct Case {
    std::vector<std::string> names;
    int instance;
    int selected;
  };
  const Case cases[] = {
      {{"Other", "KORVEN R9"}, 1, 1},
      {{"USB Audio Device", "x", "USB Audio Device"}, 1, 2},  // the last match wins
      {{"KORVEN R9", "KORVEN R9"}, 1, 1},
      {{"KORVEN R9", "a", "b", "USB Audio Device"}, 1, 3},  // whichever name it matched
      {{"x", japanese}, 1, 1},
      {{"x", japaneseUtf8}, 1, 1},
      {{"KORVEN R9", "KORVEN R9 (2)"}, 2, 1},
      {{"KORVEN R9 (2)", "KORVEN R9"}, 2, 0},
      {{"USB Audio Device (2)"}, 2, 0},
      {{japaneseUtf8 + " (20)"}, 20, 0},
      {{"KORVEN R9"}, 2, -1},   // no instance suffix
      {{"korven r9"}, 1, -1},   // case differs
      {{"KORVEN R9 "}, 1, -1},  // trailing blank
      {{"USB Audio Device(2)"}, 2, -1},
      {{"a", "b"}, 1, -1},
      {{}, 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.names) + " instance " + std::to_string(c.instance));
    // The recording driver lists any names, the same name twice among them.
    RecordingMidiApi driver;
    driver.SetInputNames(c.names);
    driver.SetOutputNames(c.names);
    view.Reset();
    DialogConfig config;
    config.instanceNumber = c.instance;
    config.midi = &driver;
    dialog = std::make_unique<CR9UpdaterDlg>(view, config);
    dialog->OnInitDialog();
    EXPECT_EQ(view.List(PortList::In), c.names);
    EXPECT_EQ(view.List(PortList::Out), c.names);
    EXPECT_EQ(view.GetSelection(PortList::In), c.selected);
    EXPECT_EQ(view.GetSelection(PortList::Out), c.selected);
    EXPECT_EQ(view.Title(), WindowTitle(c.instance));
    Close();
  }
}

TEST_F(PortListsTest, TitleCarriesTheInstanceNumber) {
  EXPECT_EQ(WindowTitle(1), "KORVEN R9 System v1.10 Updater");
  EXPECT_EQ(WindowTitle(2), "KORVEN R9 System v1.10 Updater (2)");
  EXPECT_EQ(WindowTitle(20), "KORVEN R9 System v1.10 Updater (20)");
}

// With nothing selected, the commands pass "no selection" on and the open fails.
TEST_F(PortListsTest, NoSelectionFailsAtTheOpen) {
  Ports({"a"});
  OpenDialog();
  dialog->OnExecute();
  dialog->OnVersionCheck();
  std::vector<std::string> texts = BoxTexts();
  EXPECT_EQ(texts, (std::vector<std::string>{"Can't open MIDI Out device.", "Can't open MIDI Out device."}));
  EXPECT_EQ(dialog->GetBusy(), 0);
  EXPECT_FALSE(dialog->WorkerRunning());
  EXPECT_TRUE(AllFiveEnabled()) << "the controls are not touched";
}

TEST_F(PortListsTest, InPortFailureLeavesOutOpen) {
  Ports({"KORVEN R9"});
  OpenDialog();
  view.SetSelection(PortList::In, 5);
  dialog->OnExecute();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Can't open MIDI In device."});
  EXPECT_TRUE(dialog->MidiOutPort().IsOpen());
  EXPECT_FALSE(dialog->WorkerRunning());
}

TEST_F(PortListsTest, RescanRefillsAndKeepsPortsOpen) {
  Ports({"x"});
  OpenDialog();
  EXPECT_EQ(view.GetSelection(PortList::Out), -1);
  Ports({"KORVEN R9"});
  view.SetSelection(PortList::Out, 0);
  view.SetSelection(PortList::In, 0);
  ASSERT_EQ(dialog->OpenPorts(), 0);
  dialog->EnableCommandButtons(false);
  dialog->OnRescanDevice();
  EXPECT_EQ(view.List(PortList::Out), (std::vector<std::string>{"x", "KORVEN R9"}));
  EXPECT_EQ(view.GetSelection(PortList::Out), 1);
  EXPECT_TRUE(view.Enabled(Control::ExecuteButton));
  EXPECT_TRUE(view.Enabled(Control::VersionCheckButton));
  EXPECT_TRUE(dialog->MidiOutPort().IsOpen());
  EXPECT_TRUE(dialog->MidiInPort().IsStarted());
}

TEST_F(PortListsTest, ServicesSetControlsInOrder) {
  Ports({"KORVEN R9"});
  OpenDialog();
  dialog->RestoreControls();
  dialog->EnableCommandButtons(false);
  using C = Control;
  const std::vector<std::pair<Control, bool>> expected = {
      {C::MidiInList, true},   {C::MidiOutList, true},    {C::VersionCheckButton, true}, {C::ExecuteButton, true},
      {C::RescanButton, true}, {C::ExecuteButton, false}, {C::VersionCheckButton, false}};
  EXPECT_EQ(view.EnableCalls(), expected);
  EXPECT_EQ(dialog->ClosePorts(), 0);
}

}  // namespace
}  // namespace r9::test
