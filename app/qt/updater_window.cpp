#include "app/qt/updater_window.h"

#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QPalette>

#include "app/run_log.h"
#include "updater/strings.h"

namespace r9::qt {
namespace {

// A borderless read-only text line that reads as plain text on the dialog's background.
QLineEdit* TextLine(QWidget* parent) {
  auto* line = new QLineEdit(parent);
  line->setReadOnly(true);
  line->setFrame(false);
  QPalette palette = line->palette();
  palette.setColor(QPalette::Base, parent->palette().color(QPalette::Window));
  line->setPalette(palette);
  line->setTextMargins(0, 0, 0, 0);
  return line;
}

QLabel* Label(const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

// A drop-down list: the template's height is that of the open list; closed, it is one line.
void PlaceList(QComboBox* list, const BaseUnits& base, int x, int y, int width) {
  const QRect r = DialogRect(base, x, y, width, 0);
  list->setGeometry(r.x(), r.y(), r.width(), list->sizeHint().height());
  list->setMaxVisibleItems(10);
}

}  // namespace

QIcon UpdaterIcon() { return QIcon(QStringLiteral(":/r9/r9_icon.png")); }

UpdaterWindow::UpdaterWindow(QWidget* parent) : QDialog(parent) {
  setFont(DialogFont());
  base = FontBaseUnits(font());
  setWindowIcon(UpdaterIcon());
  setFixedSize(DialogX(base, 239), DialogY(base, 161));

  executeButton = new QPushButton(QStringLiteral("Execute"), this);
  exitButton = new QPushButton(QStringLiteral("Exit"), this);
  midiInLabel = Label("MIDI IN", this);
  midiOutLabel = Label("MIDI OUT", this);
  midiInList = new QComboBox(this);
  midiOutList = new QComboBox(this);
  progress = new QProgressBar(this);
  statusLine = TextLine(this);
  rescanButton = new QPushButton(QStringLiteral("Rescan Device"), this);
  picture = new QLabel(this);
  stepCounter = TextLine(this);
  versionCheckButton = new QPushButton(QStringLiteral("Version Check"), this);

  executeButton->setObjectName(QStringLiteral("execute"));
  exitButton->setObjectName(QStringLiteral("exit"));
  midiInList->setObjectName(QStringLiteral("midiIn"));
  midiOutList->setObjectName(QStringLiteral("midiOut"));
  progress->setObjectName(QStringLiteral("progress"));
  statusLine->setObjectName(QStringLiteral("statusLine"));
  rescanButton->setObjectName(QStringLiteral("rescan"));
  picture->setObjectName(QStringLiteral("picture"));
  stepCounter->setObjectName(QStringLiteral("stepCounter"));
  versionCheckButton->setObjectName(QStringLiteral("versionCheck"));

  executeButton->setGeometry(DialogRect(base, 119, 138, 50, 16));
  exitButton->setGeometry(DialogRect(base, 182, 138, 50, 16));
  midiInLabel->setGeometry(DialogRect(base, 7, 7, 225, 8));
  midiOutLabel->setGeometry(DialogRect(base, 7, 37, 225, 8));
  PlaceList(midiInList, base, 7, 15, 225);
  PlaceList(midiOutList, base, 7, 45, 225);
  progress->setGeometry(DialogRect(base, 7, 107, 225, 14));
  statusLine->setGeometry(DialogRect(base, 12, 91, 220, 12));
  rescanButton->setGeometry(DialogRect(base, 145, 65, 87, 16));
  picture->setGeometry(DialogRect(base, 7, 134, 20, 20));
  stepCounter->setGeometry(DialogRect(base, 12, 78, 29, 12));
  versionCheckButton->setGeometry(DialogRect(base, 26, 140, 62, 14));

  // The classic segmented bar with a thin border; no percentage text.
  progress->setTextVisible(false);
  progress->setRange(0, 100);
  progress->setValue(0);
  progress->setStyleSheet(
      QStringLiteral("QProgressBar { border: 1px solid #808080; background: #ffffff; }"
                     "QProgressBar::chunk { background-color: #000080; width: 6px; margin: 1px; }"));

  // Labels, the picture frame and the progress bar take no focus; the rest in template order.
  for (QWidget* w : std::initializer_list<QWidget*>{midiInLabel, midiOutLabel, progress, picture})
    w->setFocusPolicy(Qt::NoFocus);
  QWidget* order[] = {executeButton, exitButton,   midiInList,  midiOutList,
                      statusLine,    rescanButton, stepCounter, versionCheckButton};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  for (QPushButton* b : {executeButton, exitButton, rescanButton, versionCheckButton}) b->setAutoDefault(false);
  // Enter presses "Execute", as the dialog manager does with the first default push button.
  executeButton->setDefault(true);
  executeButton->setFocus();

  connect(exitButton, &QPushButton::clicked, this, &UpdaterWindow::reject);
  // Enter reaches the focused control before the window (a default button clicks itself), so
  // the repeats are caught on their way to any widget; the filter goes with the window.
  qApp->installEventFilter(this);

  aboutAction = new QAction(QString::fromUtf8(LoadString(IDS_ABOUTBOX).c_str()), this);
  aboutAction->setShortcut(QKeySequence(Qt::ALT | Qt::Key_A));
  aboutAction->setShortcutContext(Qt::WindowShortcut);
  addAction(aboutAction);
  setContextMenuPolicy(Qt::ActionsContextMenu);
}

void UpdaterWindow::reject() { emit closeRequested(); }

bool UpdaterWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const auto* widget = qobject_cast<QWidget*>(watched);
    // Only a fresh press counts: the key that closed a box keeps repeating into this window.
    if (key->isAutoRepeat() && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && widget &&
        widget->window() == this)
      return true;
  }
  return QDialog::eventFilter(watched, event);
}

AboutBox::AboutBox(QWidget* parent, const std::string& logFolder) : QDialog(parent) {

  setFont(DialogFont());
  base = FontBaseUnits(font());
  setWindowTitle(QString::fromUtf8(kAboutCaption));
  setWindowIcon(UpdaterIcon());
  // The template's 235 x 60, with room below the notice for the line of the logs' folder.
  setFixedSize(DialogX(base, 235), DialogY(base, 72));

  icon = new QLabel(this);
  icon->setGeometry(DialogRect(base, 11, 17, 20, 20));
  icon->setPixmap(UpdaterIcon().pixmap(icon->size()));
  notice = new QLabel(QString::fromUtf8(AboutNotice().c_str()), this);
  notice->setGeometry(DialogRect(base, 40, 44, 188, 8));
  okButton = new QPushButton(QStringLiteral("OK"), this);
  okButton->setGeometry(DialogRect(base, 178, 6, 50, 16));
  okButton->setDefault(true);
  titleLine = TextLine(this);
  titleLine->setGeometry(DialogRect(base, 39, 19, 134, 14));
  titleLine->setText(QString::fromUtf8(kTitle));
  titleLine->setObjectName(QStringLiteral("titleLine"));
  // Read-only but selectable, so the path can be copied; a long one scrolls.
  logLine = TextLine(this);
  logLine->setGeometry(DialogRect(base, 40, 56, 188, 10));
  logLine->setText(QString::fromUtf8(AboutLogLine(logFolder).c_str()));
  logLine->setCursorPosition(0);
  logLine->setObjectName(QStringLiteral("logLine"));
  okButton->setFocus();
  connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace r9::qt
