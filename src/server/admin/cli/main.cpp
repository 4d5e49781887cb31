// zorva-admin: the command-line client of zorva-server's admin API. Exit codes: 0 done, 1 the
// server refused (its message on stderr) or could not be reached, 2 a bad command line.
#include <httplib.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "AdminCommand.h"
#include "LogText.h"
#include "ServerSettings.h"
#include "TokenFile.h"

namespace {

constexpr int kRefused = 1;
constexpr int kUsage = 2;

struct TGlobalOptions {
  std::string Url = "http://127.0.0.1:8089";
  std::string TokenFile = zorva::DefaultTokenPath(zorva::DefaultIniPath());
  bool Json = false;
};

void AddCommands(CLI::App& app, zorva::TAdminCommand& command) {
  auto verb = [&](const char* name, const char* help) {
    auto* sub = app.add_subcommand(name, help);
    sub->callback([&command, name] { command.Verb = name; });
    return sub;
  };
  verb("who", "List the connected users")
      ->add_option("--code", command.Code, "Only users of this subject code");
  verb("subjects", "List the subjects");
  verb("stats", "Show the server's statistics");
  verb("kill", "Disconnect a user")->add_option("ID", command.Id, "User id")->required();
  auto* shout = verb("shout", "Send a message to everyone, one code or one subject");
  shout->add_option("TEXT", command.Text, "The message")->required();
  shout->add_option("--code", command.Code, "Only this subject code");
  shout->add_option("--subject", command.Subject, "Only this subject (needs --code)");
  auto* create = verb("create", "Create a subject");
  create->add_option("CODE", command.Code, "Subject code")->required();
  create->add_option("NAME", command.Subject, "Subject name")->required();
  create->add_option("LIMIT", command.Limit, "Most members; 0 = no limit");
  auto* remove = verb("delete", "Delete a subject; its members go to the lobby");
  remove->add_option("CODE", command.Code, "Subject code")->required();
  remove->add_option("NAME", command.Subject, "Subject name")->required();
  verb("trace", "Trace incoming lines (in), outgoing lines (out), or nothing (off)")
      ->add_option("MODE", command.TraceMode, "in, out or off")
      ->required()
      ->check(CLI::IsMember({"in", "out", "off"}));
  verb("stop", "Stop the server as SIGTERM does");
  app.require_subcommand(1);
}

// The server's error message, escaped as the tables are (it may repeat a client's id), or the
// status when the body holds none.
std::string RefusalMessage(const httplib::Result& result) {
  const auto body = nlohmann::json::parse(result->body, nullptr, false);
  if (body.is_object() && body.contains("error") && body["error"].is_string()) {
    return zorva::EscapeText(body["error"].get<std::string>());
  }
  return "HTTP status " + std::to_string(result->status);
}

httplib::Result Send(httplib::Client& client, const zorva::TApiCall& call) {
  const auto body = call.Body ? call.Body->dump() : std::string();
  if (call.Method == "GET") return client.Get(call.Path);
  if (call.Method == "DELETE") return client.Delete(call.Path);
  return client.Post(call.Path, body, "application/json");
}

int Run(const TGlobalOptions& options, const zorva::TAdminCommand& command) {
  std::string error;
  const auto token = zorva::ReadToken(options.TokenFile, error);
  if (!token) {
    std::cerr << "zorva-admin: " << error << '\n';
    return kRefused;
  }
  httplib::Client client(options.Url);
  if (!client.is_valid()) {
    std::cerr << "zorva-admin: not a usable URL: " << options.Url << '\n';
    return kUsage;
  }
  client.set_bearer_token_auth(token->c_str());
  client.set_connection_timeout(std::chrono::seconds(5));
  client.set_read_timeout(std::chrono::seconds(10));
  const auto result = Send(client, zorva::BuildCall(command));
  if (!result) {
    std::cerr << "zorva-admin: cannot reach " << options.Url << ": "
              << httplib::to_string(result.error()) << '\n';
    return kRefused;
  }
  if (result->status >= 400) {
    std::cerr << "zorva-admin: " << RefusalMessage(result) << '\n';
    return kRefused;
  }
  const auto answer = nlohmann::json::parse(result->body, nullptr, false);
  std::cout << (options.Json ? result->body + "\n" : zorva::RenderAnswer(command.Verb, answer));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Operate a running zorva-server through its admin API.", "zorva-admin");
  TGlobalOptions options;
  zorva::TAdminCommand command;
  app.add_option("--url", options.Url, "The admin API's address")->capture_default_str();
  app.add_option("--token-file", options.TokenFile, "File holding the admin token")
      ->capture_default_str();
  app.add_flag("--json", options.Json, "Print the server's JSON answer as it is");
  app.set_version_flag("--version", std::string("zorva-admin ") + ZORVA_VERSION);
  app.fallthrough();
  AddCommands(app, command);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& parseError) {
    return app.exit(parseError) == 0 ? 0 : kUsage;
  }
  return Run(options, command);
}
