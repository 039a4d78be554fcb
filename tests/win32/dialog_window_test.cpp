// The Win32 dialog itself, on a display: the real dialog procedure and view, the hub, the
// virtual MIDI bus and the simulated device. The test presses the buttons as a user does
// (BM_CLICK), answers the boxes, and checks what the window shows through the window itself.
// Screenshots of the states go to R9_SCREENSHOT_DIR when it is set.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/win32/updater_window.h"
#include "app/win32/win32_view.h"
#include "firmware/firmware_version.h"
#include "firmware/image_set.h"
#include "platform/instance_number.h"
#include "platform/virtual_bus.h"
#include "sim/r9_device.h"
#include "sim/sim_options.h"
#include "tests/win32/child_process.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"
// After the project's headers (see windows_headers.h).
#include "platform/win32/windows_headers.h"

namespace r9 {
namespace {

using namespace std::chrono_literals;

template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return predicate();
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string Text(HWND window) {
  char text[512] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// Writes what the window shows to <R9_SCREENSHOT_DIR>/<name>.bmp, once it has been painted.
void Screenshot(HWND window, const std::string& name) {
  const char* folder = std::getenv("R9_SCREENSHOT_DIR");
  if (folder == nullptr || folder[0] == '\0' || window == nullptr) return;
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
  std::this_thread::sleep_for(300ms);
  std::string path = folder;
  if (path[0] == '/') path = "Z:" + path;  // a Unix path, seen through Wine's drive Z:
  path += "/" + name + ".bmp";
  RECT rect;
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  GdiFlush();
  const DWORD imageSize = DWORD(((width * 3 + 3) & ~3) * height);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + imageSize;
  if (FILE* out = std::fopen(path.c_str(), "wb")) {
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
    std::fwrite(bits, imageSize, 1, out);
    std::fclose(out);
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

struct BoxFinder {
  DWORD process;  // 0: any
  HWND owner;
  std::string caption;
  HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
  auto* finder = reinterpret_cast<BoxFinder*>(parameter);
  char cls[64] = {};
  GetClassNameA(window, cls, sizeof cls);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (window != finder->owner && std::string(cls) == "#32770" && IsWindowVisible(window) &&
      (finder->process == 0 || finder->process == process) &&
      (finder->caption.empty() || Text(window) == finder->caption)) {
    finder->found = window;
    return FALSE;
  }
  return TRUE;
}

// The dialog runs on a thread of its own, as the program's main thread runs it.
class DialogWindowTest : public ::testing::Test {
 protected:
  void Start(const std::string& simOptions, const Timings& timings = Timings()) {
    SimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions(simOptions, &options, &error)) << error;
    device_ = std::make_unique<R9Device>(options);
    ASSERT_TRUE(device_->AttachToBus(VirtualMidiBus::Instance(), "KORVEN R9"));
    view_ = std::make_unique<Win32View>(GetModuleHandleA(nullptr));
    DialogConfig config;
    config.timings = timings;
    dialog_ = std::make_unique<CR9UpdaterDlg>(*view_, config);
    ui_ = std::thread([this] {
      uiThread_ = GetCurrentThreadId();
      RunUpdaterDialog(GetModuleHandleA(nullptr), *dialog_, *view_);
      ended_ = true;
    });
    ASSERT_TRUE(WaitFor([&] { return view_->Window() != nullptr && IsWindowVisible(view_->Window()); }));
    hwnd_ = view_->Window();
    // OnInitDialog has run when the title is set.
    ASSERT_TRUE(WaitFor([&] { return !Text(hwnd_).empty(); }));
  }

  void TearDown() override {
    if (ui_.joinable()) {
      if (!ended_) PostMessageA(hwnd_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      ui_.join();
    }
    if (dialog_) dialog_->JoinWorker();
    dialog_.reset();
    view_.reset();
    if (device_) device_->Detach();
  }

  HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
  std::string ItemText(int id) const { return Text(Item(id)); }
  bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
  void Click(int id) { PostMessageA(Item(id), BM_CLICK, 0, 0); }
  int ProgressPos() const { return int(SendMessageA(Item(1002), PBM_GETPOS, 0, 0)); }
  int ProgressMax() const { return int(SendMessageA(Item(1002), PBM_GETRANGE, FALSE, 0)); }

  // The five controls, in the order Execute, Version Check, Rescan, MIDI IN, MIDI OUT.
  std::vector<bool> Controls() const {
    return {Enabled(IDOK), Enabled(1007), Enabled(1004), Enabled(1000), Enabled(1001)};
  }

  // A box of the dialog's thread (caption empty: any box); null when none comes in time.
  HWND WaitForBox(const std::string& caption, std::chrono::milliseconds limit = 30s) {
    BoxFinder finder{0, hwnd_, caption, nullptr};
    WaitFor(
        [&] {
          finder.found = nullptr;
          EnumThreadWindows(uiThread_, FindBox, reinterpret_cast<LPARAM>(&finder));
          return finder.found != nullptr;
        },
        limit);
    return finder.found;
  }
  // The control that has the keyboard focus on the dialog's thread (a box's, while one is up).
  HWND Focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(uiThread_, &info) ? info.hwndFocus : nullptr;
  }
  // Enter as the keyboard sends it: bit 30 of lParam set when the key was already down.
  static void PostEnter(HWND target, bool repeat) {
    PostMessageA(target, WM_KEYDOWN, VK_RETURN, LPARAM(0x001C0001 | (repeat ? 0x40000000 : 0)));
  }
  // Messages posted to the dialog's thread run in order: once this one has, so have they.
  void WaitForPostedMessages() {
    static int marker = 0;
    marker = marker % 90 + 5;
    PostMessageA(Item(1002), PBM_SETPOS, WPARAM(marker), 0);
    ASSERT_TRUE(WaitFor([&] { return ProgressPos() == marker; }));
  }
  static std::string BoxText(HWND box) { return Text(GetDlgItem(box, 0xFFFF)); }
  static void Answer(HWND box) { PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0); }

  std::unique_ptr<R9Device> device_;
  std::unique_ptr<Win32View> view_;
  std::unique_ptr<CR9UpdaterDlg> dialog_;
  std::thread ui_;
  DWORD uiThread_ = 0;
  std::atomic<bool> ended_{false};
  HWND hwnd_ = nullptr;
};

const std::vector<bool> kIdle = {true, true, true, true, true};
const std::vector<bool> kRunning = {false, false, false, false, false};
const std::vector<bool> kUpdated = {false, false, true, true, true};

TEST_F(DialogWindowTest, OpensWithTheDevicePreselectedAndTheAboutItem) {
  Start("");
  EXPECT_EQ(Text(hwnd_), "KORVEN R9 System v1.10 Updater");
  for (int list : {1000, 1001}) {
    const int selected = int(SendMessageA(Item(list), CB_GETCURSEL, 0, 0));
    ASSERT_GE(selected, 0) << list;
    char name[256] = {};
    SendMessageA(Item(list), CB_GETLBTEXT, WPARAM(selected), reinterpret_cast<LPARAM>(name));
    EXPECT_STREQ(name, "KORVEN R9");
  }
  EXPECT_EQ(Controls(), kIdle);
  EXPECT_TRUE(IsWindowEnabled(Item(IDCANCEL)));
  EXPECT_EQ(ProgressMax(), 100);
  EXPECT_EQ(ItemText(1003), "");

  HMENU menu = GetSystemMenu(hwnd_, FALSE);
  ASSERT_NE(menu, nullptr);
  const int count = GetMenuItemCount(menu);
  char item[128] = {};
  GetMenuStringA(menu, 0x10, item, sizeof item, MF_BYCOMMAND);
  EXPECT_STREQ(item, "About KORVEN R9 Updater(&A)...");
  EXPECT_EQ(GetMenuItemID(menu, count - 1), 0x10u) << "the last item";
  EXPECT_EQ(GetMenuState(menu, UINT(count - 2), MF_BYPOSITION) & MF_SEPARATOR, UINT(MF_SEPARATOR));

  // One icon, the big and the small one, and the one shown while the minimised window is dragged.
  const LRESULT big = SendMessageA(hwnd_, WM_GETICON, ICON_BIG, 0);
  EXPECT_NE(big, 0);
  EXPECT_EQ(SendMessageA(hwnd_, WM_GETICON, ICON_SMALL, 0), big);
  EXPECT_EQ(SendMessageA(hwnd_, WM_QUERYDRAGICON, 0, 0), big);
  Screenshot(hwnd_, "01_idle");
}

TEST_F(DialogWindowTest, ExecuteRunsAWholeUpdateAndEndsInTheUpdatedState) {
  // Slow enough to see the running state: a realistic USB link at a hundredth of real time.
  Start("link=usb,scale=0.01");
  Click(IDOK);
  // The dialog's thread disables the five one after the other.
  ASSERT_TRUE(WaitFor([&] { return Controls() == kRunning; }));
  EXPECT_TRUE(Enabled(IDCANCEL)) << "Exit stays enabled";
  ASSERT_TRUE(WaitFor([&] { return ItemText(1003).rfind("Data transmit  ", 0) == 0 && ProgressPos() > 0; }));
  Screenshot(hwnd_, "02_running");
  EXPECT_EQ(Controls(), kRunning);

  ASSERT_TRUE(WaitFor([&] { return ItemText(1003) == "Version update completed."; }, 120s));
  ASSERT_TRUE(WaitFor([&] { return Enabled(1004); }));
  EXPECT_EQ(Controls(), kUpdated);
  EXPECT_EQ(ItemText(1006), "12/12");
  EXPECT_EQ(ProgressPos(), ProgressMax());
  Screenshot(hwnd_, "03_updated");

  // What the device holds: every carried image at its address, and no protocol violation.
  const std::vector<uint8_t> flash = device_->Flash();
  for (const FirmwareImageInfo& info : kFirmwareImages) {
    FirmwareImage image;
    ASSERT_TRUE(FindFirmwareImage(info.id, &image));
    ASSERT_LE(info.flashAddress + image.size, flash.size());
    EXPECT_TRUE(std::equal(image.data, image.data + image.size, flash.begin() + info.flashAddress)) << info.id;
  }
  EXPECT_TRUE(device_->Violations().empty());

  // "Rescan Device" gives the commands back.
  Click(1004);
  // The controls come back one after the other: wait for all of them, not the first.
  ASSERT_TRUE(WaitFor([&] { return Controls() == kIdle; })) << testing::PrintToString(Controls());
}

TEST_F(DialogWindowTest, AnErrorBoxBlocksTheWorkerAndTheControlsComeBackAfterIt) {
  Start("mode=normal");  // Enter-update is refused with status 11
  Click(IDOK);
  HWND box = WaitForBox("Error");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(BoxText(box), "Please use the firmware update mode.");
  // The box is modal to the dialog; the worker waits in it, so nothing has been given back.
  EXPECT_FALSE(IsWindowEnabled(hwnd_));
  EXPECT_EQ(Controls(), kRunning);
  EXPECT_EQ(dialog_->GetBusy(), 1);
  Screenshot(box, "04_error_box");
  Answer(box);
  // The controls come back one after the other: wait for all of them, not the first.
  ASSERT_TRUE(WaitFor([&] { return Controls() == kIdle; })) << testing::PrintToString(Controls());
  EXPECT_TRUE(WaitFor([&] { return dialog_->GetBusy() == 0; }));
  EXPECT_TRUE(IsWindowEnabled(hwnd_));
  Screenshot(hwnd_, "05_after_error");
}

TEST_F(DialogWindowTest, VersionCheckShowsTheReportAndRestores) {
  Start("boot=same,system=old");
  Click(1007);
  HWND box = WaitForBox("Version Information");
  ASSERT_NE(box, nullptr);
  const std::string report = BoxText(box);
  EXPECT_NE(report.find("SYSTEM"), std::string::npos) << report;
  EXPECT_NE(report.find("1.09"), std::string::npos) << report;
  EXPECT_NE(report.find("1.10"), std::string::npos) << report;
  Screenshot(box, "06_version_report");
  Answer(box);
  // The controls come back one after the other: wait for all of them, not the first.
  ASSERT_TRUE(WaitFor([&] { return Controls() == kIdle; })) << testing::PrintToString(Controls());
}

TEST_F(DialogWindowTest, AFailedCheckNamesTheStampOnTheStatusLine) {
  // The device identifies itself and then stops answering: the BOOT read waits out its time.
  Timings timings;
  timings.readWaitMs = 1500;
  Start("boot=same,system=old,fault=silent@read:3", timings);
  Click(1007);
  ASSERT_TRUE(WaitFor([&] { return device_->Counters().Of(HostFrameKind::kReadRequest) >= 3; }));
  ASSERT_TRUE(WaitFor([&] { return ItemText(1003) == "The BOOT version stamp could not be read."; }));
  ASSERT_TRUE(WaitFor([&] { return Controls() == kIdle && dialog_->GetBusy() == 0; }));
  EXPECT_EQ(WaitForBox("", 1ms), nullptr) << "a failed read shows no box";
  Screenshot(hwnd_, "12_check_failed");
}

// The Enter that closes the report keeps repeating into the dialog: the repeats press nothing,
// wherever they land; a fresh Enter presses "Execute".
TEST_F(DialogWindowTest, AutoRepeatedEnterAfterTheReportStartsNothing) {
  Start("boot=same,system=old");
  Click(1007);
  HWND box = WaitForBox("Version Information");
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(WaitFor([&] { return Focus() != nullptr && IsChild(box, Focus()); }));
  PostEnter(Focus(), false);  // Enter closes the report
  ASSERT_TRUE(WaitFor([&] { return !IsWindow(box); }));
  ASSERT_TRUE(WaitFor([&] { return Controls() == kIdle && dialog_->GetBusy() == 0; }));
  const uint32_t identifications = device_->Counters().Of(HostFrameKind::kIdentityRequest);

  // The report closed while the five were still disabled, so the dialog manager gave the focus
  // to "Exit"; the user then moves it to "Execute". Repeats press neither.
  HWND focused = Focus();
  ASSERT_TRUE(focused != nullptr && IsChild(hwnd_, focused));
  for (int i = 0; i < 3; ++i) PostEnter(focused, true);
  PostMessageA(hwnd_, WM_NEXTDLGCTL, WPARAM(Item(IDOK)), TRUE);
  ASSERT_TRUE(WaitFor([&] { return Focus() == Item(IDOK); }));
  for (HWND target : {Item(IDOK), Item(IDOK), Item(1007), Item(1000), hwnd_}) PostEnter(target, true);
  WaitForPostedMessages();
  EXPECT_FALSE(ended_.load()) << "a repeat pressed Exit";
  EXPECT_EQ(dialog_->GetBusy(), 0);
  EXPECT_EQ(Controls(), kIdle);
  EXPECT_EQ(device_->Counters().Of(HostFrameKind::kIdentityRequest), identifications);
  EXPECT_EQ(WaitForBox("", 1ms), nullptr);

  PostEnter(Item(IDOK), false);
  ASSERT_TRUE(WaitFor([&] { return ItemText(1003) == "Version update completed."; }, 120s))
      << "a fresh Enter presses Execute";
  EXPECT_EQ(device_->Counters().Of(HostFrameKind::kEnterUpdate), 1u);
}

TEST_F(DialogWindowTest, ClosingDuringAnEraseWaitEndsAtOnce) {
  Start("fault=silent@erase:1");  // the first erase is never answered: a 60-second wait
  Click(IDOK);
  ASSERT_TRUE(WaitFor([&] { return ItemText(1003) == "Erasing Flash memory." && device_->Hung(); }));
  Screenshot(hwnd_, "07_erase_wait");
  const auto closed = std::chrono::steady_clock::now();
  PostMessageA(hwnd_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  ASSERT_TRUE(WaitFor([&] { return ended_.load(); }, 10s));
  ui_.join();
  dialog_->JoinWorker();  // the worker woke with the closing status and ended
  EXPECT_LT(std::chrono::steady_clock::now() - closed, 10s);
  EXPECT_EQ(dialog_->GetReplyStatus(), 255);
  EXPECT_FALSE(dialog_->WorkerRunning());
}

TEST_F(DialogWindowTest, TheAboutBoxShowsTheTitleLine) {
  Start("");
  PostMessageA(hwnd_, WM_SYSCOMMAND, 0x10, 0);
  HWND about = WaitForBox("About KORVEN R9 Updater");
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(Text(GetDlgItem(about, 1003)), "KORVEN R9 System v1.10 Updater");
  EXPECT_EQ(Text(GetDlgItem(about, IDOK)), "OK");
  // The logs' folder: a read-only line that can be selected (a tab stop), not a label.
  HWND logLine = GetDlgItem(about, 1008);
  ASSERT_NE(logLine, nullptr);
  EXPECT_EQ(Text(logLine).rfind("Logs: ", 0), 0u) << Text(logLine);
  EXPECT_TRUE(GetWindowLongA(logLine, GWL_STYLE) & ES_READONLY);
  EXPECT_TRUE(GetWindowLongA(logLine, GWL_STYLE) & WS_TABSTOP);
  bool versioned = false;
  for (HWND child = GetWindow(about, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    versioned = versioned || Text(child) == "R9 firmware updater. Program " R9_PROGRAM_VERSION;
  EXPECT_TRUE(versioned) << "the notice carries the program's version";
  Screenshot(about, "08_about");
  Answer(about);
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); }));
  EXPECT_TRUE(IsWindowEnabled(hwnd_));
}

// --- Updater.exe itself ---

class UpdaterProgramTest : public ::testing::Test {
 protected:
  static std::string Command() { return "\"" + test::ExecutableFolder() + R9_UPDATER_FROM_TESTS + "\""; }

  static HWND WaitForWindow(DWORD process, const std::string& caption, std::chrono::milliseconds limit = 30s) {
    HWND found = nullptr;
    WaitFor(
        [&] {
          BoxFinder finder{process, nullptr, caption, nullptr};
          EnumWindows(FindBox, reinterpret_cast<LPARAM>(&finder));
          found = finder.found;
          return found != nullptr;
        },
        limit);
    return found;
  }
};

TEST_F(UpdaterProgramTest, StartsShowsEmptyListsAndReportsTheMissingOutputPort) {
  // The run logs go to %LOCALAPPDATA%\R9 Updater\logs: a folder of this test's own.
  char temp[MAX_PATH] = {};
  GetTempPathA(sizeof temp, temp);
  const std::string localAppData = std::string(temp) + "r9-localappdata-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(localAppData.c_str(), nullptr);
  SetEnvironmentVariableA("LOCALAPPDATA", localAppData.c_str());
  const std::string logs = localAppData + "\\R9 Updater\\logs";
  test::ChildProcess updater(Command());
  ASSERT_TRUE(updater.Running());
  HWND main = WaitForWindow(updater.ProcessId(), "KORVEN R9 System v1.10 Updater");
  ASSERT_NE(main, nullptr) << "the main dialog of Updater.exe";
  // No MIDI device here and no simulator in the program: both lists are empty.
  EXPECT_EQ(SendMessageA(GetDlgItem(main, 1000), CB_GETCOUNT, 0, 0), 0);
  EXPECT_EQ(SendMessageA(GetDlgItem(main, 1001), CB_GETCOUNT, 0, 0), 0);
  EXPECT_EQ(Text(GetDlgItem(main, 1007)), "Version Check");
  Screenshot(main, "09_updater_exe");

  PostMessageA(GetDlgItem(main, 1007), BM_CLICK, 0, 0);
  HWND box = WaitForWindow(updater.ProcessId(), "Error");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(Text(GetDlgItem(box, 0xFFFF)), "Can't open MIDI Out device.");
  Screenshot(box, "10_updater_exe_error");
  PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return !IsWindow(box); }));
  // The port did not open: no worker started, the controls are as they were.
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDOK)));

  PostMessageA(GetDlgItem(main, IDCANCEL), BM_CLICK, 0, 0);  // "Exit"
  EXPECT_EQ(updater.Finish(20000), 0);

  // The failed version check left a log that names the error and ends with its outcome.
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((logs + "\\*-version-check.log").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no run log in " << logs;
  FindClose(search);
  std::ifstream in(logs + "\\" + found.cFileName);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_THAT(text.str(), testing::StartsWith("# R9 Updater run log\n# program Updater.exe " R9_PROGRAM_VERSION "\n"));
  EXPECT_THAT(text.str(), testing::HasSubstr(" box Error: Can't open MIDI Out device.\n"));
  EXPECT_THAT(text.str(), testing::EndsWith(" outcome 2 Can't open MIDI Out device.\n"));
  DeleteFileA((logs + "\\" + found.cFileName).c_str());
  RemoveDirectoryA(logs.c_str());
  RemoveDirectoryA((localAppData + "\\R9 Updater").c_str());
  RemoveDirectoryA(localAppData.c_str());
}

TEST_F(UpdaterProgramTest, ATwentyFirstCopyShowsItsBoxAndEnds) {
  std::vector<std::unique_ptr<InstanceLock>> held;
  for (int n = 1; n <= kMaxInstances; ++n) {
    held.push_back(std::make_unique<InstanceLock>());
    ASSERT_EQ(ClaimInstanceNumber(*held.back()), n);
  }
  test::ChildProcess updater(Command());
  ASSERT_TRUE(updater.Running());
  HWND box = WaitForWindow(updater.ProcessId(), "Updater");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(Text(GetDlgItem(box, 0xFFFF)), "It is forbidden to launch more than 20 instance of this application.");
  Screenshot(box, "11_twenty_first_copy");
  PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  EXPECT_EQ(updater.Finish(20000), 0);
}

}  // namespace
}  // namespace r9
