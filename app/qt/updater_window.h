// The main window: the controls of the updater's dialog template at their dialog-unit places,
// in template order (which is the tab order). It knows nothing of the hub; QtUpdater wires it.
#pragma once

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <string>

#include "app/qt/dialog_units.h"

namespace r9::qt {

// The window's icon, drawn from the one source picture at whatever size is asked for.
QIcon UpdaterIcon();

class UpdaterWindow : public QDialog {
  Q_OBJECT

 public:
  explicit UpdaterWindow(QWidget* parent = nullptr);

  // Escape, the close box and "Exit" all come here: the window asks to close and its owner
  // decides when it is gone (once a running worker has ended).
  void reject() override;

  BaseUnits base;
  // Template order.
  QPushButton* executeButton;
  QPushButton* exitButton;
  QLabel* midiInLabel;
  QLabel* midiOutLabel;
  QComboBox* midiInList;
  QComboBox* midiOutList;
  QProgressBar* progress;
  QLineEdit* statusLine;
  QPushButton* rescanButton;
  QLabel* picture;
  QLineEdit* stepCounter;
  QPushButton* versionCheckButton;
  // "About KORVEN R9 Updater(&A)...": the window's context menu, and Alt+A.
  QAction* aboutAction;

 signals:
  void closeRequested();

 protected:
  // Drops an auto-repeated Enter meant for this window or one of its controls: a key held to
  // close a box would otherwise press "Execute" again and again.
  bool eventFilter(QObject* watched, QEvent* event) override;
};

// The About box: its caption, the icon, the title line, a notice with the program's version,
// "OK", and a read-only line with the folder of the run logs that can be selected and copied.
class AboutBox : public QDialog {
  Q_OBJECT

 public:
  // logFolder: "" when the logs are off.
  AboutBox(QWidget* parent, const std::string& logFolder);

  BaseUnits base;
  QLabel* icon;
  QLabel* notice;
  QPushButton* okButton;
  QLineEdit* titleLine;
  QLineEdit* logLine;
};

}  // namespace r9::qt
