// TChatClient: the session behind zorva-chat. It logs in (or registers), turns each typed line
// into a request or a chat line, and prints every event from the server as one line. Lines typed
// before the login has landed in the lobby wait for it; at /quit or the end of input it waits
// for the answers to what it asked, then closes and ends the Qt event loop.
#pragma once

#include <cstdint>
#include <deque>
#include <ostream>
#include <string>

#include "ZorvaConnection.h"

namespace zorva {

class QtClientSocket;

struct TChatOptions {
  std::string Host = "localhost";
  std::int32_t Port = 4000;
  std::string Code;
  std::string User;
  std::string Password;
  bool Register = false;
  bool Tls = false;
  std::string CaFile;     // trusted besides the system's authorities
  bool Insecure = false;  // no certificate check at all
};

class TChatClient : public TZorvaConnection {
 public:
  TChatClient(TChatOptions options, std::ostream& out, std::ostream& err);

  void Start();
  // One line typed by the user: a command ("/join Lobby Chat") or a chat text.
  void Input(const std::string& line);
  void EndOfInput();
  bool QuitRequested() const { return FInputDone; }

 protected:
  // Notes JOINSUBJECT listings and prints every USERINFO answer, listed user or not.
  void ProcessMessage(std::string_view args, std::string_view command) override;

 private:
  TChatClient(QtClientSocket* socket, TChatOptions options, std::ostream& out, std::ostream& err);
  void BindEvents();
  void Execute(const std::string& line);
  bool NameCanBeSent(const std::string& word, const std::string& name);
  void RunQueued();
  void BeginQuit();
  void Finish(int exitCode);

  void PrintHelp();
  void PrintSubjects();
  void PrintMembers();
  void PrintUserInfo(std::string_view userText);
  void PrintStats(const TZorvaServerStats& stats);
  void Line(const std::string& text);

  QtClientSocket* FQtSocket;  // owned by the connection
  TChatOptions FOptions;
  std::ostream& FOut;
  std::ostream& FErr;
  std::deque<std::string> FQueued;  // typed before the login was through
  bool FInLobby = false;            // the login's JOINSUBJECT has arrived
  bool FInputDone = false;          // /quit or the end of input: the closing request is out
  bool FInJoinListing = false;
  bool FFinishing = false;
  int FStatsAsked = 0;  // answers to /stats still to come; the one after them ends the session
};

}  // namespace zorva
