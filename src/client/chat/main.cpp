// zorva-chat: a line-mode client for people and scripts.
//   zorva-chat [--host H] [--port P] [--code CODE] --user ID [--password-file F] [--register]
//              [--tls [--ca FILE] [--insecure]]
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QCoreApplication>
#include <cstdlib>
#include <iostream>

#include "ChatClient.h"
#include "ChatInput.h"
#include "StdinReader.h"
#include "ZorvaVersion.h"

namespace {

// A name the protocol cannot carry would be split by the server into other fields ("x|y" as
// user "x" in code "y"), so it never leaves the program.
bool NamesCanBeSent(const zorva::TChatOptions& options) {
  for (const auto& [option, name] :
       {std::pair{"--user", &options.User}, {"--code", &options.Code}}) {
    if (name->empty() && std::string_view(option) == "--code") continue;
    if (const auto problem = zorva::NameProblem(*name)) {
      std::cerr << "zorva-chat: " << option << ": " << *problem << std::endl;
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  zorva::TChatOptions options;
  zorva::TPasswordSources passwords;
  CLI::App cli(
      "Chat with a Zorva server: commands and chat lines on standard input, one event "
      "per line on standard output.",
      "zorva-chat");
  cli.set_version_flag("--version", zorva::VersionText("zorva-chat"));
  cli.add_option("--host", options.Host, "server host name or address")->capture_default_str();
  cli.add_option("--port", options.Port, "server port")
      ->capture_default_str()
      ->check(CLI::Range(1, 65535));
  cli.add_option("--code", options.Code, "subject code of the program group");
  cli.add_option("--user", options.User, "user id")->required();
  cli.add_option("--password", passwords.Given,
                 "password; other users of this machine can read it in the process list, so "
                 "prefer --password-file or ZORVA_PASSWORD");
  cli.add_option("--password-file", passwords.File,
                 "read the password from this file's first line");
  cli.add_flag("--register", options.Register, "register the user id first");
  auto* tls = cli.add_flag("--tls", options.Tls,
                           "connect with TLS; the server's certificate must be trusted and name "
                           "the host");
  cli.add_option("--ca", options.CaFile, "also trust the authorities in this PEM file")->needs(tls);
  cli.add_flag("--insecure", options.Insecure,
               "accept any certificate (tests only: anyone can pose as the server)")
      ->needs(tls);
  cli.footer(
      "Without --password or --password-file the password comes from the environment variable "
      "ZORVA_PASSWORD, else from a prompt on a terminal. Exit codes: 0 after /quit or the end "
      "of input, 1 when the session failed, 2 for a mistake on the command line.");
  CLI11_PARSE(cli, argc, argv);
  if (!NamesCanBeSent(options)) return 2;
  passwords.Environment = std::getenv("ZORVA_PASSWORD");
  passwords.Terminal = ::isatty(STDIN_FILENO) != 0;
  std::string error;
  const auto password = zorva::ChoosePassword(passwords, error);
  if (!password) {
    std::cerr << "zorva-chat: " << error << std::endl;
    return 1;
  }
  options.Password = *password;

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
