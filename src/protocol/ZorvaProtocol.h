// The line protocol between the server and TZorvaConnection: command words, every error line,
// and the builders of every message either side sends, so that no message text is assembled by
// hand anywhere else.
//
// A message is one line of single-byte text ended by a line feed; fields are separated by "|";
// the first field is the command word (exact, case-sensitive). (rest) = the rest of the line,
// which may itself hold "|". UserText and StatsText are the records' own text forms.
//
// Client -> server
//   LOGIN|Id|SubjectCode|Password(rest)
//   LOGINNEW|Id|SubjectCode|UserText(rest)
//   SEND|Kind|Text(rest)                    Kind is CHAT or DATA
//   PING|
//   CREATESUBJECT|Name|MaxConnections|
//   JOINSUBJECT|Name
//   SERVERSTATS|
//   USERINFO|Id|
//   USERUPDATE|Id|UserText|
//   FEEDBACK|Text(rest)
//   CUSTOM|Name|Data(rest)
// Server -> client
//   LOGIN|SUCCESS|UserText            LOGIN|ERROR|Reason(rest)
//   SUBJECTS|Name|Name|...|           ADDSUBJECT|Name          REMOVESUBJECT|Name
//   JOINSUBJECT|Name|UserText|...|UserText   (members in joining order, the receiver last)
//   ADDGUEST|Id|UserText              REMOVEGUEST|Id           BEGINSUBJECT|
//   SERVERSTATS|StatsText|            USERINFO|UserText|
//   PING|Id|RoundTrip|Id|RoundTrip|...|
//   SEND|SenderId|Kind|Text(rest)     SHOUT|Text|              ERROR|Reason(rest)
//   CUSTOM|Name|Data(rest)            (only from a server extension)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zorva {

inline constexpr char kFieldSeparator = '|';
inline constexpr char kLineFeed = '\n';

namespace Cmd {
inline constexpr std::string_view Login = "LOGIN";
inline constexpr std::string_view LoginNew = "LOGINNEW";
inline constexpr std::string_view Send = "SEND";
inline constexpr std::string_view Ping = "PING";
inline constexpr std::string_view CreateSubject = "CREATESUBJECT";
inline constexpr std::string_view JoinSubject = "JOINSUBJECT";
inline constexpr std::string_view ServerStats = "SERVERSTATS";
inline constexpr std::string_view UserInfo = "USERINFO";
inline constexpr std::string_view UserUpdate = "USERUPDATE";
inline constexpr std::string_view Feedback = "FEEDBACK";
inline constexpr std::string_view Custom = "CUSTOM";
inline constexpr std::string_view Subjects = "SUBJECTS";
inline constexpr std::string_view AddSubject = "ADDSUBJECT";
inline constexpr std::string_view RemoveSubject = "REMOVESUBJECT";
inline constexpr std::string_view AddGuest = "ADDGUEST";
inline constexpr std::string_view RemoveGuest = "REMOVEGUEST";
inline constexpr std::string_view BeginSubject = "BEGINSUBJECT";
inline constexpr std::string_view Shout = "SHOUT";
inline constexpr std::string_view Error = "ERROR";

inline constexpr std::string_view Success = "SUCCESS";  // second field of a LOGIN answer
inline constexpr std::string_view Chat = "CHAT";        // kinds of SEND
inline constexpr std::string_view Data = "DATA";
}  // namespace Cmd

// Complete error lines, word for word (misspellings are the protocol's and stay).
namespace Err {
inline constexpr std::string_view AlreadyLoggedIn = "LOGIN|ERROR|You are already logged in";
inline constexpr std::string_view IdInUse = "LOGIN|ERROR|A User with this ID is already logged in";
inline constexpr std::string_view InvalidUserId = "LOGIN|ERROR|Invalid User Id";
inline constexpr std::string_view InvalidPassword = "LOGIN|ERROR|Invalid Password";
inline constexpr std::string_view IdTaken = "LOGIN|ERROR|This User ID is already being used";
inline constexpr std::string_view LoginNeedsTls = "LOGIN|ERROR|Please log in over TLS";
inline constexpr std::string_view ShuttingDown = "ERROR|The Server is shutting down";
inline constexpr std::string_view SubjectExists = "ERROR|A Subject with that name already exists";
inline constexpr std::string_view NoSuchSubject = "ERROR|The specifiec Subject does not exist";
inline constexpr std::string_view SubjectFull = "ERROR|The specified Subject is already filled";
inline constexpr std::string_view UserNotFound = "ERROR|The specified User could not be found";
inline constexpr std::string_view UserNotFoundToUpdate =
    "ERROR|The specified User could not be found to update";
inline constexpr std::string_view Unrecognized = "ERROR|Unrecognized Server Command: ";
// Our own refusals, in the same form.
inline constexpr std::string_view NotLoggedIn = "ERROR|You are not logged in";
inline constexpr std::string_view UpdateOwnOnly = "ERROR|You can only update your own User Info";
inline constexpr std::string_view LineTooLong = "ERROR|Line too long";
inline constexpr std::string_view ServerFull = "ERROR|The Server is full";
inline constexpr std::string_view StoreUnavailable = "ERROR|The user store is unavailable";
inline constexpr std::string_view LoginStoreUnavailable =
    "LOGIN|ERROR|The user store is unavailable";
inline constexpr std::string_view LoginBusy = "LOGIN|ERROR|The Server is busy, try again later";
inline constexpr std::string_view MessageTooLong = "ERROR|Message too long";
inline constexpr std::string_view LoginTimeout = "ERROR|Login timeout";
inline constexpr std::string_view InvalidSubjectName = "ERROR|Invalid Subject Name";
inline constexpr std::string_view InvalidMemberLimit = "ERROR|Invalid Member Limit";
inline constexpr std::string_view InvalidUserInfo = "ERROR|Invalid User Info";
inline constexpr std::string_view LoginInvalidUserInfo = "LOGIN|ERROR|Invalid User Info";
inline constexpr std::string_view PasswordRequired = "LOGIN|ERROR|A password is required";
inline constexpr std::string_view TooManyAttempts =
    "LOGIN|ERROR|Too many attempts, try again later";
inline constexpr std::string_view TooMuchFeedback = "ERROR|Too much feedback, try again later";
// What a node of a cluster cannot decide alone while the shared state is out of reach.
inline constexpr std::string_view ClusterUnavailable = "ERROR|The cluster is unavailable";
inline constexpr std::string_view LoginClusterUnavailable =
    "LOGIN|ERROR|The cluster is unavailable";
}  // namespace Err

// Names a client chooses, checked before the server keeps or relays them. A user id is 1 to 64
// bytes without "|", "^", "`" or a control byte (the separators of messages and user texts); a
// subject name 1 to 64 bytes without "|" or a control byte.
inline constexpr std::size_t kMaxNameBytes = 64;
bool IsValidUserId(std::string_view id);
bool IsValidSubjectName(std::string_view name);

// A line cut into its command word and argument text (views into the line).
struct CommandLine {
  std::string_view Word;
  std::string_view Args;
};
CommandLine SplitCommand(std::string_view line);

// Builders of message texts, without the line feed that sending adds.
namespace Msg {
// Server -> client
std::string LoginSuccess(std::string_view userText);
std::string AddSubject(std::string_view name);
std::string RemoveSubject(std::string_view name);
std::string JoinSubjectHeader(std::string_view name);  // then AppendField per member
std::string AddGuest(std::string_view id, std::string_view userText);
std::string RemoveGuest(std::string_view id);
std::string BeginSubject();
std::string ServerStats(std::string_view statsText);
std::string UserInfo(std::string_view userText);
std::string PingHeader();  // then AppendPingEntry per member
void AppendPingEntry(std::string& ping, std::string_view id, std::int32_t roundTrip);
std::string Relay(std::string_view senderId, std::string_view args);
// The same into `out`, reusing its capacity: the relay path builds one line per received line.
void Relay(std::string& out, std::string_view senderId, std::string_view args);
std::string Shout(std::string_view text);
std::string Error(std::string_view reason);
std::string Unrecognized(std::string_view word, std::string_view args);
std::string Custom(std::string_view name, std::string_view data);

// Client -> server
std::string Login(std::string_view id, std::string_view code, std::string_view password);
std::string LoginNew(std::string_view id, std::string_view code, std::string_view userText);
std::string SendChat(std::string_view text);
std::string SendData(std::string_view text);
std::string PingReply();
std::string CreateSubject(std::string_view name, std::int32_t maxConnections);
std::string JoinSubject(std::string_view name);
std::string ServerStatsRequest();
std::string UserInfoRequest(std::string_view id);
std::string UserUpdate(std::string_view id, std::string_view userText);
std::string Feedback(std::string_view text);

// Appends "|" + field: for messages whose field count is only known at run time.
void AppendField(std::string& message, std::string_view field);

// SUBJECTS|Name|...| from any range of names.
std::string Subjects(const auto& names) {
  std::string out = "SUBJECTS|";
  for (const auto& name : names) {
    out += name;
    out += kFieldSeparator;
  }
  return out;
}
}  // namespace Msg

}  // namespace zorva
