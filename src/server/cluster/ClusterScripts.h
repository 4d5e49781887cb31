// The Redis side of the cluster: key names and the Lua scripts that change the shared state.
// Each script is one atomic step in Redis and publishes the events of its change on the code's
// channel, so every node sees the changes in the order Redis applied them. docs/CLUSTER.md
// lists the keys, the events and what each script does.
#pragma once

#include <string>
#include <string_view>

namespace zorva::cluster {

// "zorva:{code}:" with "%" and "}" of the code escaped, so no code reaches another's keys.
std::string CodePrefix(std::string_view code);
std::string Channel(std::string_view code);
// The set of ids a node holds, which a reap of that node drops.
std::string NodeIdsKey(std::string_view node);

// Node ids travel inside "|"-separated events: 1..64 bytes, no "|" and no control byte.
bool ValidNodeId(std::string_view node);

namespace script {
// ARGV: id, node, prefix. 1 when the node holds the id now, 0 when another node does.
extern const std::string_view Claim;
// ARGV: id, node, prefix. Releases an id this node holds.
extern const std::string_view Release;
// ARGV: prefix, origin, subject, max, persistent, client, announce. 1 created, 0 exists.
extern const std::string_view Create;
// ARGV: prefix, node, subject, id, usertext, rtt. {"nosubject"} | {"full"} | {"same"} |
// {"joined", full, left ("" | "G" | "R"), left subject, id, node, rtt, text, id, ...}.
extern const std::string_view Join;
// ARGV: prefix, node, id. Leaves the subject, forgets the user, releases the id.
extern const std::string_view Drop;
// ARGV: prefix, origin, id, usertext. The user's subject, or "" when it is unknown.
extern const std::string_view Update;
// ARGV: prefix, origin, id, rtt, id, rtt, ...
extern const std::string_view RoundTrips;
// ARGV: prefix, subject, lobby. 1 done, 0 no such subject.
extern const std::string_view Remove;
// ARGV: node, ttl ms, connections. {cluster connections, client-created subjects}.
extern const std::string_view Heartbeat;
// ARGV: node (never reaped by itself). The nodes reaped.
extern const std::string_view Reap;
// ARGV: node. Drops every id Redis holds for the node, and the client subjects it created but
// never joined, as a reap does.
extern const std::string_view ForgetLeftovers;
// ARGV: prefix. {{subject, max, persistent, full, {id, node, rtt, text, ...}}, ...}
extern const std::string_view Load;
}  // namespace script

}  // namespace zorva::cluster
