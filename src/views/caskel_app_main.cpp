// caskel-app: the tray application. It hosts the same command server as caskeld.
#include <caskel/version.h>

#include <QApplication>
#include <QCommandLineParser>
#include <chrono>
#include <cstdlib>

#include "base/display_name.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/network_namespace.h"
#include "platform/stop_signals.h"
#include "views/app_delegate.h"

int main(int argc, char** argv) {
  // First of all, while the process has one thread: the namespace can be entered only so. On a
  // display reached over TCP the program keeps the network, which the delegate says once.
  const char* display = std::getenv("DISPLAY");
  if (!caskel::displayReachedOverNetwork(display ? display : ""))
    caskel::enterNetworkNamespace(caskel::environmentObstacle());
  // Before the toolkit starts threads, so that they all leave the stop signals to one thread.
  caskel::blockStopSignals();
  QApplication qtApp(argc, argv);
  QApplication::setApplicationName("Caskel");
  QApplication::setApplicationVersion(caskel::kVersion);
  QApplication::setQuitOnLastWindowClosed(false);

  QCommandLineParser parser;
  parser.setApplicationDescription("Caskel — the tray application and command server");
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption toggleQuickAccess(
      "toggle-quick-access",
      "Opens or closes the quick-access panel of the running Caskel (starting it if needed).");
  parser.addOption(toggleQuickAccess);
  QCommandLineOption autostart("autostart",
                               "Starts hidden in the tray, as at login (see Settings, \"Start at login\").");
  parser.addOption(autostart);
  // For tests: where to log the events they wait for, and how often the update watch looks.
  QCommandLineOption trace("trace", "", "FILE");
  trace.setFlags(QCommandLineOption::HiddenFromHelp);
  QCommandLineOption updateInterval("update-interval", "", "SECONDS");
  updateInterval.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOptions({trace, updateInterval});
  parser.process(qtApp);

  caskel::AppOptions options;
  options.version = caskel::kVersion;
  options.arguments = QApplication::arguments().mid(1);
  // A restart after an update brings the program back, not the panel.
  // Nor is it a start at login: after an update the user asked for, the window may open.
  options.arguments.removeAll("--toggle-quick-access");
  options.arguments.removeAll("--autostart");
  options.tracePath = parser.value(trace).toStdString();
  options.toggleQuickAccess = parser.isSet(toggleQuickAccess);
  options.autostart = parser.isSet(autostart);
  if (parser.isSet(updateInterval)) {
    bool ok = false;
    double seconds = parser.value(updateInterval).toDouble(&ok);
    if (!ok || seconds <= 0) parser.showHelp(2);
    options.updateInterval = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  }

  caskel::QtMainQueue mainQueue(&qtApp);
  int status = 0;
  {
    caskel::AppDelegate delegate(std::move(options), mainQueue);
    if (auto exitNow = delegate.launch()) return *exitNow;
    status = QApplication::exec();
    delegate.terminate();
  }
  return status;
}
