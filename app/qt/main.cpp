// r9-updater: the updater's window on Linux. The device side of the command line is the console
// front-end's (--simulate, --backend); everything else is the window.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <memory>
#include <string>

#include "app/device_options.h"
#include "app/qt/dialog_units.h"
#include "app/qt/qt_updater.h"
#include "app/run_log.h"
#include "firmware/firmware_version.h"
#include "platform/instance_number.h"
#include "platform/midi_backends.h"
#include "sim/r9_device.h"
#include "updater/strings.h"

namespace {

const char kUsage[] =
    "usage: r9-updater [OPTIONS]\n"
    "\n"
    "Opens the updater's window.\n"
    "\n"
    "Options:\n"
    "%s%s"
    "  --version            show the program's version and the carried firmware's\n"
    "  --help               show this text\n"
    "\nMessages and what to try: troubleshooting.md (in /usr/share/doc/r9-updater/docs when installed).\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "r9-updater: %s\nTry 'r9-updater --help'.\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  r9::DeviceOptions options;
  r9::RunLogSettings log;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::string error;
    if (a == "--help" || a == "-h") {
      std::printf(kUsage, r9::DeviceOptionsHelp().c_str(), r9::RunLogOptionsHelp());
      return 0;
    }
    if (a == "--version") {
      std::fputs(r9::VersionText("r9-updater").c_str(), stdout);
      return 0;
    }
    int taken = r9::TakeDeviceOption(argc, argv, &i, &options, &error);
    if (taken == 0) taken = r9::TakeRunLogOption(argc, argv, &i, &log, &error);
    if (taken < 0) return UsageError(error);
    if (taken == 0) return UsageError("unknown option '" + a + "'");
  }

  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  QApplication::setFont(r9::qt::DialogFont());
  QApplication::setWindowIcon(r9::qt::UpdaterIcon());
  QApplication::setQuitOnLastWindowClosed(false);

  r9::InstanceLock lock;
  const int instanceNumber = r9::ClaimInstanceNumber(lock);
  if (instanceNumber == 0) {
    char text[128];
    std::snprintf(text, sizeof text, r9::kTooManyInstances, r9::kMaxInstances);
    QMessageBox::critical(nullptr, QString::fromUtf8(r9::LoadString(r9::IDS_ERROR_CAPTION).c_str()),
                          QString::fromUtf8(text));
    return 7;
  }

  // The device and the chosen backends outlive the window's ports.
  std::unique_ptr<r9::R9Device> device;
  std::string error;
  if (!r9::ApplyMidiBackends(options, &error) || !r9::StartSimulatedDevice(options, instanceNumber, &device, &error))
    return UsageError(error);
  r9::SetMidiClientInstance(instanceNumber);

  r9::DialogConfig config;
  config.instanceNumber = instanceNumber;
  r9::qt::QtUpdater updater(config, log, options.simulate);
  QObject::connect(&updater, &r9::qt::QtUpdater::finished, &app, &QApplication::quit);
  updater.Show();
  const int code = app.exec();
  r9::ReportSimulatedViolations(device.get());
  return code;
}
