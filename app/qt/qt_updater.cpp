#include "app/qt/qt_updater.h"

#include <QMetaObject>
#include <QStringList>

namespace r9::qt {
namespace {

QString Text(const std::string& text) { return QString::fromUtf8(text.data(), int(text.size())); }

}  // namespace

QString ReportToRichText(const std::string& text) {
  QString html = QStringLiteral("<table cellspacing=\"0\" cellpadding=\"0\">");
  for (const QString& line : Text(text).split(QLatin1Char('\n'))) {
    html += QStringLiteral("<tr>");
    bool first = true;
    for (const QString& cell : line.split(QLatin1Char('\t'), Qt::SkipEmptyParts)) {
      html += first ? QStringLiteral("<td>") : QStringLiteral("<td style=\"padding-left: 24px\">");
      html += cell.toHtmlEscaped() + QStringLiteral("</td>");
      first = false;
    }
    html += QStringLiteral("</tr>");
  }
  return html + QStringLiteral("</table>");
}

// ---------------------------------------------------------------------------------------------
// The view

QtDialogView::QtDialogView(UpdaterWindow& window)
    : window_(window), marshal_([this] {
        // Called with the marshal's lock held, from a worker: only post the run.
        QMetaObject::invokeMethod(
            this, [this] { marshal_.RunPending(); }, Qt::QueuedConnection);
      }) {
  connect(window_.midiInList, &QComboBox::currentIndexChanged, this,
          [this](int index) { selection_[int(PortList::In)].store(index); });
  connect(window_.midiOutList, &QComboBox::currentIndexChanged, this,
          [this](int index) { selection_[int(PortList::Out)].store(index); });
}

QtDialogView::~QtDialogView() {
  Close();
  for (QPointer<QDialog>& box : open_)
    if (box) {
      box->disconnect();
      delete box.data();
    }
}

QComboBox* QtDialogView::List(PortList list) const {
  return list == PortList::In ? window_.midiInList : window_.midiOutList;
}

QWidget* QtDialogView::Widget(Control control) const {
  switch (control) {
    case Control::MidiInList:
      return window_.midiInList;
    case Control::MidiOutList:
      return window_.midiOutList;
    case Control::ExecuteButton:
      return window_.executeButton;
    case Control::RescanButton:
      return window_.rescanButton;
    case Control::VersionCheckButton:
      return window_.versionCheckButton;
  }
  return nullptr;
}

void QtDialogView::ResetList(PortList list) {
  marshal_.Post([this, list] { List(list)->clear(); });
}

void QtDialogView::AddListItem(PortList list, const std::string& name) {
  marshal_.Post([this, list, name] {
    QComboBox* combo = List(list);
    // A list box gets no selection by being filled; a combo box would take the first item.
    const bool none = combo->currentIndex() < 0;
    combo->addItem(Text(name));
    if (none) combo->setCurrentIndex(-1);
  });
}

void QtDialogView::SetSelection(PortList list, int index) {
  marshal_.Post([this, list, index] { List(list)->setCurrentIndex(index); });
}

int QtDialogView::GetSelection(PortList list) {
  if (marshal_.OnUiThread()) return List(list)->currentIndex();
  return selection_[int(list)].load();
}

void QtDialogView::EnableControl(Control control, bool enable) {
  marshal_.Post([this, control, enable] { Widget(control)->setEnabled(enable); });
}

void QtDialogView::SetTitle(const std::string& title) {
  marshal_.Post([this, title] { window_.setWindowTitle(Text(title)); });
}

void QtDialogView::SetStatusLine(const std::string& text) {
  marshal_.Post([this, text] { window_.statusLine->setText(Text(text)); });
}

void QtDialogView::SetStepCounter(const std::string& text) {
  marshal_.Post([this, text] { window_.stepCounter->setText(Text(text)); });
}

void QtDialogView::SetProgressRange(int32_t maximum) {
  marshal_.Post([this, maximum] { window_.progress->setRange(0, maximum); });
}

void QtDialogView::SetProgressPos(int32_t position) {
  marshal_.Post([this, position] { window_.progress->setValue(position); });
}

QMessageBox* QtDialogView::MakeBox(const std::string& caption, const std::string& text, BoxIcon icon) {
  auto* box = new QMessageBox(&window_);
  box->setWindowTitle(Text(caption));
  box->setProperty("r9Text", Text(text));
  if (icon == BoxIcon::Stop) {
    box->setIcon(QMessageBox::Critical);
    box->setTextFormat(Qt::PlainText);
    box->setText(Text(text));
  } else {
    box->setIcon(QMessageBox::Information);
    box->setTextFormat(Qt::RichText);
    box->setText(ReportToRichText(text));
  }
  box->setStandardButtons(QMessageBox::Ok);
  return box;
}

void QtDialogView::Track(QDialog* box) {
  std::erase_if(open_, [](const QPointer<QDialog>& b) { return b.isNull(); });
  open_.emplace_back(box);
  QPointer<QDialog> shown(box);
  QMetaObject::invokeMethod(
      this,
      [this, shown] {
        if (shown && shown->isVisible()) emit boxShown(shown.data());
      },
      Qt::QueuedConnection);
}

void QtDialogView::ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
  if (marshal_.OnUiThread()) {
    // A handler's own box: modal, and the handler goes on once it is closed.
    if (Closing()) return;
    QPointer<QMessageBox> box = MakeBox(caption, text, icon);
    Track(box);
    box->exec();
    delete box.data();
    return;
  }
  // A worker's box: shown on the GUI thread; the worker waits until it is answered.
  marshal_.Request([this, caption, text, icon](UiMarshal::Call done) {
    QMessageBox* box = MakeBox(caption, text, icon);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QDialog::finished, box, [done] { done(); });
    Track(box);
    box->open();
  });
}

void QtDialogView::PostVersionCheckDone(int32_t result) {
  marshal_.Post([this, result] {
    if (versionCheckDone_) versionCheckDone_(result);
  });
}

void QtDialogView::ShowAbout() {
  if (marshal_.OnUiThread()) {
    if (Closing()) return;
    QPointer<AboutBox> box = new AboutBox(&window_, logFolder_);
    Track(box);
    box->exec();
    delete box.data();
    return;
  }
  marshal_.Request([this](UiMarshal::Call done) {
    auto* box = new AboutBox(&window_, logFolder_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QDialog::finished, box, [done] { done(); });
    Track(box);
    box->open();
  });
}

void QtDialogView::Close() {
  marshal_.Close();
  for (QPointer<QDialog>& box : open_)
    if (box && box->isVisible()) box->done(QDialog::Rejected);
}

// ---------------------------------------------------------------------------------------------
// The front-end

QtUpdater::QtUpdater(const DialogConfig& config, const RunLogSettings& log, const std::optional<std::string>& simulate)
    : view_(window_), recorder_("r9-updater", log, simulate), logView_(view_, recorder_), hub_(logView_, config) {
  view_.SetLogFolder(recorder_.Folder());
  recorder_.Observe(hub_);
  view_.SetVersionCheckDoneHandler([this](int32_t result) { hub_.OnVersionCheckDone(0, result); });
  connect(window_.executeButton, &QPushButton::clicked, this, [this] {
    if (!closing_) StartRun("execute", &CR9UpdaterDlg::OnExecute);
  });
  connect(window_.versionCheckButton, &QPushButton::clicked, this, [this] {
    if (!closing_) StartRun("version-check", &CR9UpdaterDlg::OnVersionCheck);
  });
  connect(window_.rescanButton, &QPushButton::clicked, this, [this] {
    if (!closing_) hub_.OnRescanDevice();
  });
  connect(window_.aboutAction, &QAction::triggered, this, [this] {
    if (!closing_) hub_.OnAbout();
  });
  connect(&window_, &UpdaterWindow::closeRequested, this, &QtUpdater::OnCloseRequested);

  // The program ends once a woken worker has ended; the GUI thread never waits for it.
  workerWatch_.setInterval(5);
  connect(&workerWatch_, &QTimer::timeout, this, [this] {
    if (hub_.WorkerRunning()) return;
    workerWatch_.stop();
    hub_.JoinWorker();
    recorder_.WindowClosed(hub_);
    finished_ = true;
    emit finished();
  });

  hub_.OnInitDialog();
}

QtUpdater::~QtUpdater() {
  if (!closing_) {
    closing_ = true;
    view_.Close();
    hub_.OnDestroy();
  }
  hub_.JoinWorker();
  recorder_.WindowClosed(hub_);
}

void QtUpdater::StartRun(const char* kind, void (CR9UpdaterDlg::*handler)()) {
  const bool starts = hub_.GetBusy() == 0 && !hub_.WorkerRunning();
  if (starts) recorder_.Begin(kind, hub_, view_.GetSelection(PortList::In), view_.GetSelection(PortList::Out));
  (hub_.*handler)();
  if (starts) recorder_.WatchUntilEnd(hub_);
}

void QtUpdater::Show() {
  window_.show();
  window_.activateWindow();
  window_.executeButton->setFocus();
}

void QtUpdater::OnCloseRequested() {
  if (closing_) return;
  closing_ = true;
  view_.Close();
  hub_.OnDestroy();
  window_.hide();
  workerWatch_.start();
}

}  // namespace r9::qt
