// zorva-chat: a line-mode client for people and scripts.
//   zorva-chat --host H --port P --code CODE --user ID [--password PW] [--register]
#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <iostream>

#include "ChatClient.h"
#include "StdinReader.h"

int main(int argc, char** argv) {
  zorva::TChatOptions options;
  CLI::App cli(
      "Chat with a Zorva server: commands and chat lines on standard input, one event "
      "per line on standard output.");
  cli.add_option("--host", options.Host, "server host name or address")->capture_default_str();
  cli.add_option("--port", options.Port, "server port")->required();
  cli.add_option("--code", options.Code, "subject code of the program group");
  cli.add_option("--user", options.User, "user id")->required();
  cli.add_option("--password", options.Password, "password");
  cli.add_flag("--register", options.Register, "register the user id first");
  CLI11_PARSE(cli, argc, argv);

  QCoreApplication app(argc, argv);
  zorva::TChatClient client(options, std::cout, std::cerr);
  zorva::StdinReader input(
      [&](std::string line) {
        client.Input(line);
        if (client.QuitRequested()) input.Stop();
      },
      [&] { client.EndOfInput(); });
  client.Start();
  return app.exec();
}
