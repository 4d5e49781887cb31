// ZorvaServer: the server with its operator window. The window, the server core and the Qt
// transport share the user-interface thread.
#include <QApplication>
#include <QPlainTextEdit>
#include <cstdio>

#include "DbServerForm.h"
#include "ProgramOptions.h"
#include "QtTransport.h"
#include "Screenshots.h"
#include "ServerCore.h"
#include "ServerForm.h"
#include "SignalCloser.h"
#include "SystemClock.h"

using namespace zorva;

namespace {

bool ConfigureTransport(QtTransport& transport, const TServerOptions& options) {
  return transport.SetBindAddress(QString::fromStdString(options.BindAddress));
}

// What --log and --trace ask for is what the operator would switch on in the "Tracing" menu.
void SwitchTracing(TfrmServer& window, const TServerOptions& options) {
  if (options.Trace) {
    window.actIncoming->trigger();
    window.actOutgoing->trigger();
  }
  if (!options.LogPath) return;
  window.SetLogFilePath(*options.LogPath);
  window.actLogFiles->trigger();
}

}  // namespace

int main(int argc, char** argv) {
  // Before the application object, so that --help and mistakes need no display.
  TProgramOptions options;
  if (const std::optional<int> exitCode = ParseProgramOptions(argc, argv, options))
    return *exitCode;
  QApplication app(argc, argv);
  const TServerOptions& server = options.Server;

  QtTransport transport(server.Limits);
  if (!ConfigureTransport(transport, server)) {
    std::fprintf(stderr, "ZorvaServer: cannot bind to %s\n", server.BindAddress.c_str());
    return 2;
  }
  SystemClock clock;
  // Without --users the base hooks keep nothing; the store window brings its store and core.
  TServerHooks hooks;
  std::optional<ServerCore> plainCore;
  std::unique_ptr<TfrmServer> form;
  ServerCore* core = nullptr;
  if (server.UsersPath) {
    try {
      auto dbForm = std::make_unique<TfrmDbServer>(*server.UsersPath, transport, clock,
                                                   server.IniPath, server.Settings);
      core = &dbForm->Core();
      form = std::move(dbForm);
    } catch (const EDatabaseError& error) {
      std::fprintf(stderr, "ZorvaServer: %s\n", error.what());
      return 1;
    }
  } else {
    core = &plainCore.emplace(transport, clock, hooks);
    form = std::make_unique<TfrmServer>(*core, transport, server.IniPath, server.Settings);
  }
  core->SetMaxLine(server.Limits.MaxLine);
  core->SetMaxClients(server.MaxClients);
  transport.SetEvents(core);
  TfrmServer& window = *form;
  TSignalCloser closer([&window] { window.close(); });
  SwitchTracing(window, server);
  window.show();

  if (options.Start) {
    window.actStartServer->trigger();
    if (!core->Running()) {
      // The window reported why in its "Exceptions" pane; the terminal gets the same line.
      const QString why = window.memoExceptions->toPlainText().section('\n', -1);
      std::fprintf(stderr, "ZorvaServer: %s\n", qPrintable(why));
      return 1;
    }
    std::printf("Listening on %s\n", transport.ListenAddress().c_str());
    std::fflush(stdout);
  }
  if (!options.ScreenshotDir.empty())
    ScheduleScreenshots(window, *core, QString::fromStdString(options.ScreenshotDir),
                        options.ScreenshotAfterMs);
  return app.exec();
}
