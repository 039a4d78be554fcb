// The window against the simulated device, offscreen: layout, tab order, titles, preselection,
// the runs, the boxes and closing at awkward moments. Each test that reaches a state a person
// should look at writes a screenshot to build/<preset>/screenshots.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/qt/qt_updater.h"
#include "firmware/firmware_version.h"
#include "firmware/image_set.h"
#include "platform/virtual_bus.h"
#include "sim/r9_device.h"
#include "sim/sim_options.h"
#include "updater/strings.h"

namespace r9::qt {
namespace {

using namespace std::chrono_literals;

// The waits that a test lets run out are short; the block wait keeps its real second.
Timings FastTimings() {
  Timings t;
  t.identifyWaitMs = 1500;
  t.eraseWaitMs = 1500;
  t.readWaitMs = 1500;
  t.resendPauseMs = 1;
  t.enterPauseMs = 1;
  return t;
}

const char kJapanesePort[] =
    "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
    "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9";  // "USB オーディオ デバイス"

QString Q(const std::string& s) { return QString::fromUtf8(s.c_str()); }

// Runs the GUI thread's events until pred holds or the time is up.
bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

// Writes what a person would see: the window, and a box beside it when one is open.
void Screenshot(const char* name, QWidget* window, QWidget* box = nullptr) {
  QDir().mkpath(QStringLiteral(R9_SCREENSHOT_DIR));
  const QPixmap main = window->grab();
  QPixmap shot = main;
  if (box) {
    const QPixmap side = box->grab();
    QImage canvas(main.width() + 16 + side.width(), std::max(main.height(), side.height()), QImage::Format_RGB32);
    canvas.fill(QColor(0x60, 0x60, 0x60));
    QPainter painter(&canvas);
    painter.drawPixmap(0, 0, main);
    painter.drawPixmap(main.width() + 16, 0, side);
    painter.end();
    shot = QPixmap::fromImage(canvas);
  }
  EXPECT_TRUE(shot.save(QStringLiteral(R9_SCREENSHOT_DIR "/%1.png").arg(QLatin1String(name)))) << name;
}

struct SeenBox {
  QString caption;
  QString text;  // as the hub gave it
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  bool controlsDisabled = false;  // all five, while the box was up
  int busy = -1;
};

class WindowTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (updater && !updater->Finished()) {
      updater->Window().reject();
      EXPECT_TRUE(PumpUntil([&] { return updater->Finished(); }, 10s)) << "the program did not end";
    }
    updater.reset();
    device.reset();
  }

  // A simulated device (from a --simulate option string) on a bus of the test's own, and the
  // window on that bus.
  void Start(const std::string& simOptions = "", int instance = 1, Timings timings = FastTimings(),
             std::string portName = "") {
    SimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions(simOptions, &options, &error)) << error;
    if (portName.empty()) portName = instance == 1 ? "KORVEN R9" : "KORVEN R9 (" + std::to_string(instance) + ")";
    device = std::make_unique<R9Device>(options);
    ASSERT_TRUE(device->AttachToBus(*bus, portName));
    Open(instance, timings);
  }

  void Open(int instance = 1, Timings timings = FastTimings()) {
    DialogConfig config;
    config.instanceNumber = instance;
    config.timings = timings;
    config.midi = bus.get();
    RunLogSettings log;
    log.folder = logDir.path().toStdString();
    updater = std::make_unique<QtUpdater>(config, log, std::string("test"));
    QObject::connect(&updater->View(), &QtDialogView::boxShown, &updater->View(), [this](QDialog* box) {
      auto* message = qobject_cast<QMessageBox*>(box);
      if (message) {
        SeenBox seen;
        seen.caption = message->windowTitle();
        seen.text = message->property("r9Text").toString();
        seen.icon = message->icon();
        seen.controlsDisabled = AllFive(false);
        seen.busy = updater->Hub().GetBusy();
        boxes.push_back(seen);
      }
      if (onBox)
        onBox(box);
      else
        Answer(box);
    });
    updater->Show();
    QApplication::setActiveWindow(&W());
  }

  UpdaterWindow& W() { return updater->Window(); }

  // The user presses OK (or Enter) in a box.
  static void Answer(QDialog* box) {
    if (auto* message = qobject_cast<QMessageBox*>(box)) {
      QAbstractButton* ok = message->button(QMessageBox::Ok);
      ASSERT_NE(ok, nullptr);
      QTest::mouseClick(ok, Qt::LeftButton);
    } else if (auto* about = qobject_cast<AboutBox*>(box)) {
      QTest::mouseClick(about->okButton, Qt::LeftButton);
    }
  }

  std::vector<QWidget*> Five() {
    return {W().midiInList, W().midiOutList, W().executeButton, W().rescanButton, W().versionCheckButton};
  }
  bool AllFive(bool enabled) {
    for (QWidget* w : Five())
      if (w->isEnabled() != enabled) return false;
    return true;
  }
  bool Idle() { return !updater->Hub().WorkerRunning() && updater->Hub().GetBusy() == 0; }

  // The device holds every carried image where the plan puts it (BOOT only where it was
  // rewritten).
  void ExpectFlashHoldsImages(bool bootWritten) {
    for (const FirmwareImageInfo& info : kFirmwareImages) {
      if (info.id == kImageBoot && !bootWritten) continue;
      FirmwareImage image;
      ASSERT_TRUE(FindFirmwareImage(info.id, &image));
      const std::vector<uint8_t> flash = device->FlashBytes(info.flashAddress, image.size);
      EXPECT_TRUE(std::equal(flash.begin(), flash.end(), image.data)) << "image " << info.id;
    }
    EXPECT_TRUE(device->Violations().empty());
  }

  QTemporaryDir logDir;  // the run logs of the test's window
  std::unique_ptr<VirtualMidiBus> bus = VirtualMidiBus::Create();
  std::unique_ptr<R9Device> device;
  std::unique_ptr<QtUpdater> updater;
  std::vector<SeenBox> boxes;
  std::function<void(QDialog*)> onBox;
};

// Dialog units to pixels with the font's base units, as the Windows dialog manager converts.
struct Units {
  int bx, by;
  explicit Units(const QFont& font) {
    const QFontMetrics m(font);
    const int letters = m.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    bx = (letters / 26 + 1) / 2;
    by = m.height();
  }
  int X(int v) const { return (v * bx + 2) / 4; }
  int Y(int v) const { return (v * by + 4) / 8; }
};

TEST_F(WindowTest, EveryControlAtItsTemplatePlace) {
  Start();
  const QFontInfo info(W().font());
  EXPECT_EQ(info.family(), QStringLiteral("IPAGothic"));
  EXPECT_EQ(W().font().pointSize(), 9);
  const Units u(W().font());
  ASSERT_GT(u.bx, 0);
  ASSERT_GT(u.by, 0);
  EXPECT_EQ(W().size(), QSize(u.X(239), u.Y(161)));

  struct Place {
    const char* what;
    QWidget* widget;
    int x, y, w, h;  // h 0: a closed drop-down list
  };
  const Place places[] = {
      {"Execute", W().executeButton, 119, 138, 50, 16},     {"Exit", W().exitButton, 182, 138, 50, 16},
      {"MIDI IN", W().midiInLabel, 7, 7, 225, 8},           {"MIDI OUT", W().midiOutLabel, 7, 37, 225, 8},
      {"MIDI IN list", W().midiInList, 7, 15, 225, 0},      {"MIDI OUT list", W().midiOutList, 7, 45, 225, 0},
      {"progress", W().progress, 7, 107, 225, 14},          {"status line", W().statusLine, 12, 91, 220, 12},
      {"Rescan Device", W().rescanButton, 145, 65, 87, 16}, {"picture", W().picture, 7, 134, 20, 20},
      {"step counter", W().stepCounter, 12, 78, 29, 12},    {"Version Check", W().versionCheckButton, 26, 140, 62, 14},
  };
  // The window's children are the template's controls, in template order.
  const QList<QWidget*> children = W().findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
  ASSERT_EQ(children.size(), qsizetype(std::size(places)));
  for (size_t i = 0; i < std::size(places); ++i) {
    const Place& p = places[i];
    SCOPED_TRACE(p.what);
    EXPECT_EQ(children[qsizetype(i)], p.widget);
    const QRect g = p.widget->geometry();
    EXPECT_EQ(g.x(), u.X(p.x));
    EXPECT_EQ(g.y(), u.Y(p.y));
    EXPECT_EQ(g.width(), u.X(p.w));
    if (p.h) {
      EXPECT_EQ(g.height(), u.Y(p.h));
    } else {
      // Closed, a list is one line high, not the 115 units of the open list.
      EXPECT_GE(g.height(), QFontMetrics(W().font()).height());
      EXPECT_LT(g.height(), 2 * QFontMetrics(W().font()).height() + 4);
    }
    EXPECT_TRUE(p.widget->isEnabled());
    EXPECT_TRUE(p.widget->isVisible());
  }
  // The texts of the labels and buttons; the two lines are borderless and read-only.
  EXPECT_EQ(W().midiInLabel->text(), QStringLiteral("MIDI IN"));
  EXPECT_EQ(W().midiOutLabel->text(), QStringLiteral("MIDI OUT"));
  EXPECT_EQ(W().executeButton->text(), QStringLiteral("Execute"));
  EXPECT_EQ(W().exitButton->text(), QStringLiteral("Exit"));
  EXPECT_EQ(W().rescanButton->text(), QStringLiteral("Rescan Device"));
  EXPECT_EQ(W().versionCheckButton->text(), QStringLiteral("Version Check"));
  for (QLineEdit* line : {W().statusLine, W().stepCounter}) {
    EXPECT_TRUE(line->isReadOnly());
    EXPECT_FALSE(line->hasFrame());
  }
  EXPECT_TRUE(W().picture->pixmap().isNull());
  EXPECT_FALSE(W().progress->isTextVisible());
  EXPECT_EQ(W().progress->maximum(), 100);
  EXPECT_FALSE(W().windowIcon().isNull());
}

TEST_F(WindowTest, TabOrderIsTemplateOrderFromExecute) {
  Start();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&W()));
  EXPECT_EQ(QApplication::focusWidget(), W().executeButton);
  EXPECT_TRUE(W().executeButton->isDefault());
  for (QPushButton* b : {W().exitButton, W().rescanButton, W().versionCheckButton}) EXPECT_FALSE(b->isDefault());
  const std::vector<QWidget*> order = {W().exitButton,   W().midiInList,  W().midiOutList,        W().statusLine,
                                       W().rescanButton, W().stepCounter, W().versionCheckButton, W().executeButton};
  for (QWidget* next : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
  }
}

TEST_F(WindowTest, TitleCarriesTheInstanceNumberAboveOne) {
  Start("", 1);
  EXPECT_EQ(W().windowTitle(), QStringLiteral("KORVEN R9 System v1.10 Updater"));
  updater->Window().reject();
  ASSERT_TRUE(PumpUntil([&] { return updater->Finished(); }));
  updater.reset();
  Open(2);
  EXPECT_EQ(W().windowTitle(), QStringLiteral("KORVEN R9 System v1.10 Updater (2)"));
}

TEST_F(WindowTest, PreselectionInTheRealLists) {
  // Ports in bus order; the last one that bears a wanted name is selected, whichever name.
  std::vector<std::shared_ptr<VirtualEndpoint>> ends;
  for (const char* name : {"Other Synth", kJapanesePort, "usb audio device", "USB Audio Device ", "Thru"})
    ends.push_back(bus->Attach(name));
  Start("", 1, FastTimings(), "Thru 2");
  ends.push_back(bus->Attach("KORVEN R9 (2)"));
  updater->Hub().OnRescanDevice();
  for (QComboBox* list : {W().midiInList, W().midiOutList}) {
    ASSERT_EQ(list->count(), 7);
    EXPECT_EQ(list->itemText(1), Q(kJapanesePort));
    EXPECT_EQ(list->currentIndex(), 1);  // the Japanese name; the others differ in case, blank, suffix
  }
  Screenshot("idle", &W());
  W().reject();
  ASSERT_TRUE(PumpUntil([&] { return updater->Finished(); }));
  updater.reset();

  // Instance 2 looks for the names with " (2)": only the last port qualifies.
  Open(2);
  for (QComboBox* list : {W().midiInList, W().midiOutList}) EXPECT_EQ(list->currentIndex(), 6);
  W().reject();
  ASSERT_TRUE(PumpUntil([&] { return updater->Finished(); }));
  updater.reset();

  // Nothing matches: the list shows its ports with none selected.
  ends.pop_back();
  ends.erase(ends.begin() + 1);
  Open(1);
  for (QComboBox* list : {W().midiInList, W().midiOutList}) {
    EXPECT_EQ(list->count(), 5);
    EXPECT_EQ(list->currentIndex(), -1);
  }
}

TEST_F(WindowTest, EnterRunsTheUpdateToTheUpdatedState) {
  Start("boot=same,system=old,preset=old,submcu=old,link=usb,scale=0.05");
  ASSERT_TRUE(QTest::qWaitForWindowActive(&W()));
  QTest::keyClick(&W(), Qt::Key_Return);  // Execute, the default button
  ASSERT_TRUE(PumpUntil([&] { return updater->Hub().WorkerRunning() || !boxes.empty(); }, 5s));
  bool shotRunning = false;
  ASSERT_TRUE(PumpUntil([&] {
    if (!shotRunning && W().statusLine->text().startsWith(QStringLiteral("Data transmit")) &&
        W().progress->value() > W().progress->maximum() / 3) {
      EXPECT_TRUE(AllFive(false));
      EXPECT_TRUE(W().exitButton->isEnabled());
      Screenshot("running", &W());
      shotRunning = true;
    }
    return Idle();
  }));
  // The worker's last calls reach the window on the GUI thread.
  ASSERT_TRUE(PumpUntil([&] { return W().rescanButton->isEnabled(); }, 5s));
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(shotRunning);
  EXPECT_EQ(W().statusLine->text(), QStringLiteral("Version update completed."));
  // Updated: the lists and "Rescan Device" only.
  EXPECT_TRUE(W().midiInList->isEnabled());
  EXPECT_TRUE(W().midiOutList->isEnabled());
  EXPECT_TRUE(W().rescanButton->isEnabled());
  EXPECT_FALSE(W().executeButton->isEnabled());
  EXPECT_FALSE(W().versionCheckButton->isEnabled());
  EXPECT_TRUE(W().exitButton->isEnabled());
  Screenshot("updated", &W());
  ExpectFlashHoldsImages(false);

  QTest::mouseClick(W().rescanButton, Qt::LeftButton);
  EXPECT_TRUE(AllFive(true));
  EXPECT_EQ(W().midiOutList->currentText(), QStringLiteral("KORVEN R9"));
}

TEST_F(WindowTest, VersionCheckShowsTheReportThenIdle) {
  Start("boot=same,system=old,preset=same,submcu=erased");
  QTest::mouseClick(W().versionCheckButton, Qt::LeftButton);
  onBox = [&](QDialog* box) {
    Screenshot("report", &W(), box);
    Answer(box);
  };
  ASSERT_TRUE(PumpUntil([&] { return !boxes.empty() && Idle(); }));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, QStringLiteral("Version Information"));
  EXPECT_EQ(boxes[0].icon, QMessageBox::Information);
  EXPECT_EQ(boxes[0].text,
            QStringLiteral("SYSTEM:\t\t1.09 -> 1.10\nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t*.** -> 1.02"));
  // The report is up before the controls come back.
  EXPECT_TRUE(boxes[0].controlsDisabled);
  EXPECT_EQ(boxes[0].busy, 1);
  EXPECT_TRUE(AllFive(true));
}

TEST_F(WindowTest, AFailedCheckNamesTheStampOnTheStatusLine) {
  // The device identifies itself and then stops answering: the BOOT read waits out its time.
  Start("boot=same,system=old,fault=silent@read:3");
  QTest::mouseClick(W().versionCheckButton, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return device->Counters().Of(HostFrameKind::kReadRequest) >= 3; }, 10s));
  ASSERT_TRUE(PumpUntil([&] { return Idle() && AllFive(true); }));
  EXPECT_TRUE(boxes.empty()) << "a failed read shows no box";
  EXPECT_EQ(W().statusLine->text(), QStringLiteral("The BOOT version stamp could not be read."));
  // The whole text fits the line.
  EXPECT_LE(QFontMetrics(W().statusLine->font()).horizontalAdvance(W().statusLine->text()), W().statusLine->width());
  Screenshot("check_failed", &W());
}

// The Enter that closes the report keeps repeating into the window: the repeats press nothing,
// wherever they land; a fresh Enter presses "Execute".
TEST_F(WindowTest, AutoRepeatedEnterAfterTheReportStartsNothing) {
  Start("boot=same,system=old");
  ASSERT_TRUE(QTest::qWaitForWindowActive(&W()));
  onBox = [&](QDialog* box) { QTest::keyClick(box, Qt::Key_Return); };
  QTest::mouseClick(W().versionCheckButton, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return boxes.size() == 1 && Idle() && AllFive(true); }));
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "Enter closed the report";
  const uint32_t identifications = device->Counters().Of(HostFrameKind::kIdentityRequest);

  QWidget* focused = QApplication::focusWidget();
  for (QWidget* target : {focused ? focused : &W(), static_cast<QWidget*>(W().executeButton),
                          static_cast<QWidget*>(W().versionCheckButton), static_cast<QWidget*>(&W())}) {
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
      QKeyEvent repeat(QEvent::KeyPress, key, Qt::NoModifier, QStringLiteral("\r"), /*autorep=*/true);
      QApplication::sendEvent(target, &repeat);
      // A press would have started the worker at once, on this thread.
      EXPECT_EQ(updater->Hub().GetBusy(), 0) << target->objectName().toStdString();
      EXPECT_TRUE(AllFive(true));
    }
  }
  EXPECT_EQ(device->Counters().Of(HostFrameKind::kIdentityRequest), identifications);
  EXPECT_EQ(boxes.size(), 1u);

  QTest::keyClick(focused ? focused : &W(), Qt::Key_Return);
  EXPECT_EQ(updater->Hub().GetBusy(), 1) << "a fresh Enter presses Execute";
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
  ASSERT_TRUE(PumpUntil([&] { return W().statusLine->text() == QStringLiteral("Version update completed."); }, 5s));
  EXPECT_EQ(device->Counters().Of(HostFrameKind::kEnterUpdate), 1u);
}

TEST_F(WindowTest, ReportColumnsLineUp) {
  // Tabs become columns: every value starts at one x, whatever the label's width.
  const QString html = ReportToRichText("SYSTEM:\t\t1.09 -> 1.10\nBOOT:\t\t1.00");
  EXPECT_EQ(html, QStringLiteral("<table cellspacing=\"0\" cellpadding=\"0\">"
                                 "<tr><td>SYSTEM:</td><td style=\"padding-left: 24px\">1.09 -&gt; 1.10</td></tr>"
                                 "<tr><td>BOOT:</td><td style=\"padding-left: 24px\">1.00</td></tr></table>"));
}

TEST_F(WindowTest, ErrorBoxHoldsTheControlsUntilClosed) {
  Start("mode=normal");
  onBox = [&](QDialog* box) {
    // The worker waits on the box: nothing comes back while it is up.
    QTest::qWait(100);
    EXPECT_TRUE(AllFive(false));
    EXPECT_EQ(updater->Hub().GetBusy(), 1);
    Screenshot("error", &W(), box);
    Answer(box);
  };
  QTest::mouseClick(W().executeButton, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return !boxes.empty() && Idle(); }));
  ASSERT_TRUE(PumpUntil([&] { return AllFive(true); }, 5s)) << "the controls did not come back";
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, QStringLiteral("Error"));
  EXPECT_EQ(boxes[0].text, QStringLiteral("Please use the firmware update mode."));
  EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
  EXPECT_TRUE(boxes[0].controlsDisabled);
}

// The failed update left a log: the frames up to the error in the trace's format, the error box
// after the last of them, the console's exit code for it last.
TEST_F(WindowTest, FailedUpdateLeavesARunLog) {
  Start("mode=normal");
  QTest::mouseClick(W().executeButton, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return !boxes.empty() && Idle() && !updater->Recorder().LastPath().empty(); }));
  const QString path = QString::fromStdString(updater->Recorder().LastPath());
  EXPECT_TRUE(path.startsWith(logDir.path() + "/"));
  EXPECT_TRUE(path.endsWith("-execute.log")) << path.toStdString();
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
  ASSERT_GT(lines.size(), 10);
  EXPECT_EQ(lines[0], QStringLiteral("# R9 Updater run log"));
  EXPECT_TRUE(lines.contains(QStringLiteral("# program r9-updater " R9_PROGRAM_VERSION)));
  EXPECT_TRUE(lines.contains(QStringLiteral("# simulated device \"test\"")));
  const QRegularExpression frame(QStringLiteral("^[0-9]+\\.[0-9]{6} (out|in)( [0-9A-F]{2})+$"));
  qsizetype lastFrame = -1, box = -1, identity = -1;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    if (frame.match(lines[i]).hasMatch()) lastFrame = i;
    if (identity < 0 && lines[i].endsWith(QStringLiteral(" out F0 7E 00 06 01 F7"))) identity = i;
    if (lines[i].endsWith(QStringLiteral(" box Error: Please use the firmware update mode."))) box = i;
  }
  EXPECT_GE(identity, 0) << "the Identity Request";
  EXPECT_GT(lastFrame, identity) << "the Enter-update frame and its refusal";
  EXPECT_GT(box, lastFrame);
  EXPECT_TRUE(lines.last().endsWith(QStringLiteral(" outcome 4 Please use the firmware update mode.")))
      << lines.last().toStdString();
}

TEST_F(WindowTest, HandlerErrorBoxOnTheGuiThread) {
  // No ports at all: "Execute" fails at the port opening, on the GUI thread itself.
  Open(1);
  QTest::mouseClick(W().executeButton, Qt::LeftButton);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, QStringLiteral("Can't open MIDI Out device."));
  EXPECT_EQ(boxes[0].caption, QStringLiteral("Error"));
  EXPECT_FALSE(updater->Hub().WorkerRunning());
  EXPECT_TRUE(AllFive(true));
}

TEST_F(WindowTest, EscapeDuringAnEraseWaitEndsTheProgram) {
  Timings timings = FastTimings();
  timings.eraseWaitMs = 60000;  // the real wait: only closing may end it
  Start("fault=silent@erase:1", 1, timings);
  QTest::mouseClick(W().executeButton, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return device->Counters().Of(HostFrameKind::kErase) >= 1; }, 10s));
  ASSERT_TRUE(PumpUntil([&] { return W().statusLine->text() == QStringLiteral("Erasing Flash memory."); }, 5s));
  EXPECT_TRUE(updater->Hub().WorkerRunning());
  const auto start = std::chrono::steady_clock::now();
  QTest::keyClick(&W(), Qt::Key_Escape);
  ASSERT_TRUE(PumpUntil([&] { return updater->Finished(); }, 10s)) << "the program did not end";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_FALSE(updater->Hub().WorkerRunning());
  EXPECT_FALSE(W().isVisible());
  EXPECT_EQ(updater->Hub().GetReplyStatus(), 255);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowTest, ClosingDuringAnErrorBoxEndsTheProgram) {
  Start("mode=normal");
  QPointer<QDialog> open;
  onBox = [&](QDialog* box) {
    open = box;
    W().close();  // the close box, with the error box still up
  };
  QTest::mouseClick(W().executeButton, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return updater->Finished(); }, 10s)) << "the program did not end";
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(open.isNull() || !open->isVisible());
  EXPECT_FALSE(updater->Hub().WorkerRunning());
}

TEST_F(WindowTest, EscapeDuringTheReportEndsTheProgram) {
  // The report box runs on the GUI thread itself, inside the handler of the check's end.
  Start("boot=same");
  onBox = [&](QDialog*) { QTest::keyClick(&W(), Qt::Key_Escape); };
  QTest::mouseClick(W().versionCheckButton, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return updater->Finished(); }, 10s)) << "the program did not end";
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, QStringLiteral("Version Information"));
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(WindowTest, ExitEndsTheProgramWhenIdle) {
  Start();
  QTest::mouseClick(W().exitButton, Qt::LeftButton);
  ASSERT_TRUE(PumpUntil([&] { return updater->Finished(); }, 5s));
  EXPECT_FALSE(W().isVisible());
}

TEST_F(WindowTest, AboutFromAltAAndTheContextMenu) {
  Start("", 2);
  // The item of the window's context menu, with its mnemonic.
  EXPECT_EQ(W().contextMenuPolicy(), Qt::ActionsContextMenu);
  ASSERT_TRUE(W().actions().contains(W().aboutAction));
  EXPECT_EQ(W().aboutAction->text(), QStringLiteral("About KORVEN R9 Updater(&A)..."));
  ASSERT_TRUE(QTest::qWaitForWindowActive(&W()));

  AboutBox* seen = nullptr;
  onBox = [&](QDialog* box) {
    seen = qobject_cast<AboutBox*>(box);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->windowTitle(), QStringLiteral("About KORVEN R9 Updater"));
    // The title line never carries the instance number.
    EXPECT_EQ(seen->titleLine->text(), QStringLiteral("KORVEN R9 System v1.10 Updater"));
    EXPECT_TRUE(seen->titleLine->isReadOnly());
    EXPECT_FALSE(seen->titleLine->hasFrame());
    EXPECT_FALSE(seen->icon->pixmap().isNull());
    EXPECT_FALSE(seen->notice->text().isEmpty());
    EXPECT_LE(QFontMetrics(seen->font()).horizontalAdvance(seen->notice->text()), seen->notice->width());
    const Units u(seen->font());
    // Twelve units taller than the classic box, for the line of the logs' folder.
    EXPECT_EQ(seen->size(), QSize(u.X(235), u.Y(72)));
    EXPECT_EQ(seen->notice->text(), QStringLiteral("R9 firmware updater. Program " R9_PROGRAM_VERSION));
    EXPECT_EQ(seen->logLine->geometry(), QRect(u.X(40), u.Y(56), u.X(188), u.Y(10)));
    EXPECT_EQ(seen->logLine->text(), QStringLiteral("Logs: ") + logDir.path());
    EXPECT_TRUE(seen->logLine->isReadOnly());
    EXPECT_TRUE(seen->logLine->focusPolicy() & Qt::TabFocus) << "the path can be reached, selected and copied";
    EXPECT_EQ(seen->icon->geometry(), QRect(u.X(11), u.Y(17), u.X(20), u.Y(20)));
    EXPECT_EQ(seen->notice->geometry(), QRect(u.X(40), u.Y(44), u.X(188), u.Y(8)));
    EXPECT_EQ(seen->okButton->geometry(), QRect(u.X(178), u.Y(6), u.X(50), u.Y(16)));
    EXPECT_EQ(seen->titleLine->geometry(), QRect(u.X(39), u.Y(19), u.X(134), u.Y(14)));
    EXPECT_EQ(seen->okButton->text(), QStringLiteral("OK"));
    Screenshot("about", &W(), box);
    Answer(box);
  };
  QTest::keyClick(&W(), Qt::Key_A, Qt::AltModifier);
  EXPECT_NE(seen, nullptr) << "Alt+A opened no About box";
  // The title bar keeps the instance number.
  EXPECT_EQ(W().windowTitle(), QStringLiteral("KORVEN R9 System v1.10 Updater (2)"));

  seen = nullptr;
  W().aboutAction->trigger();  // the context menu's item
  EXPECT_NE(seen, nullptr);
  EXPECT_TRUE(W().isVisible());
}

}  // namespace
}  // namespace r9::qt
