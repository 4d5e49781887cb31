// zorva-lobby-demo: a small lobby client on ZorvaComp, and the library's manual test.
//   zorva-lobby-demo [--host H] [--port P] [--tls [--ca FILE | --insecure]] [--code CODE]
//                    [--user ID] [--password PW] [--login] [--statistics]
#include <CLI/CLI.hpp>
#include <QApplication>

#include "LobbyWindow.h"
#include "ZorvaVersion.h"

int main(int argc, char** argv) {
  zorva::TLobbyOptions options;
  CLI::App cli(
      "A lobby client for a Zorva server: log in or register, chat, look at users and "
      "watch the server's statistics.");
  cli.add_option("--host", options.Host, "server host name or address")->capture_default_str();
  cli.add_option("--port", options.Port, "server port")->capture_default_str();
  cli.add_flag("--tls", options.Tls, "connect with TLS (the \"TLS\" box checked)");
  cli.add_option("--ca", options.TlsCaFile,
                 "with TLS, also trust the authorities in this PEM file");
  cli.add_flag("--insecure", options.AnyCertificate,
               "accept any server certificate (the \"Any certificate\" box checked)");
  cli.add_option("--code", options.Code, "subject code of the program group")
      ->capture_default_str();
  cli.add_option("--user", options.User, "user id");
  cli.add_option("--password", options.Password, "password");
  cli.add_flag("--login", options.LogInAtStart, "log in at once with --user and --password");
  cli.add_flag("--statistics", options.StatisticsAtLogin,
               "open the auto-updating statistics once logged in");
  cli.set_version_flag("--version", zorva::VersionText("zorva-lobby-demo"));
  CLI11_PARSE(cli, argc, argv);

  QApplication app(argc, argv);
  zorva::TLobbyWindow window(options);
  window.show();
  if (options.LogInAtStart) window.LogIn();
  return app.exec();
}
