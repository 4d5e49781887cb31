#include "ClusterScripts.h"

namespace zorva::cluster {

std::string CodePrefix(std::string_view code) {
  std::string prefix = "zorva:{";
  for (const char c : code) {
    if (c == '%')
      prefix += "%25";
    else if (c == '}')
      prefix += "%7D";
    else
      prefix += c;
  }
  return prefix + "}:";
}

std::string Channel(std::string_view code) {
  return CodePrefix(code) + "events";
}

std::string NodeIdsKey(std::string_view node) {
  return "zorva:node:" + std::string(node) + ":ids";
}

bool ValidNodeId(std::string_view node) {
  if (node.empty() || node.size() > 64) return false;
  for (const char c : node)
    if (c == '|' || static_cast<unsigned char>(c) < 32 || c == 127) return false;
  return true;
}

namespace {

// Shared by the scripts that change membership. A member's leave always publishes G, so every
// node's copy loses the member, and R after it when a non-persistent subject is left empty.
constexpr std::string_view kCommon = R"lua(
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end

local function publish(prefix, event)
  redis.call('PUBLISH', prefix .. 'events', event)
end

local function remove_subject(prefix, origin, subject)
  local meta = prefix .. 's:' .. subject
  if redis.call('HGET', meta, 'client') == '1' then redis.call('DECR', 'zorva:subjects') end
  redis.call('DEL', meta, prefix .. 'm:' .. subject)
  redis.call('ZREM', prefix .. 'subjects', subject)
  publish(prefix, 'R|' .. origin .. '|' .. subject)
end

local function leave(prefix, origin, id)
  local user = prefix .. 'u:' .. id
  local subject = redis.call('HGET', user, 'subject')
  if not subject or subject == '' then return '', '' end
  redis.call('HSET', user, 'subject', '')
  local members = prefix .. 'm:' .. subject
  redis.call('ZREM', members, id)
  publish(prefix, 'G|' .. origin .. '|' .. subject .. '|' .. id)
  if redis.call('ZCARD', members) > 0 then return 'G', subject end
  if redis.call('HGET', prefix .. 's:' .. subject, 'persistent') == '1' then return 'G', subject end
  remove_subject(prefix, origin, subject)
  return 'R', subject
end

local function append_members(prefix, subject, out)
  for _, id in ipairs(redis.call('ZRANGE', prefix .. 'm:' .. subject, 0, -1)) do
    local user = redis.call('HMGET', prefix .. 'u:' .. id, 'node', 'rtt', 'text')
    table.insert(out, id)
    table.insert(out, user[1] or '')
    table.insert(out, user[2] or '0')
    table.insert(out, user[3] or '')
  end
  return out
end

local function join(prefix, origin, node, subject, id, text, rtt)
  local meta = prefix .. 's:' .. subject
  if redis.call('EXISTS', meta) == 0 then return {'nosubject'} end
  local user = prefix .. 'u:' .. id
  if redis.call('HGET', user, 'subject') == subject then return {'same'} end
  if redis.call('HGET', meta, 'full') == '1' then return {'full'} end
  local left, old = leave(prefix, origin, id)
  local members = prefix .. 'm:' .. subject
  redis.call('ZADD', members, redis.call('INCR', prefix .. 'seq'), id)
  redis.call('SREM', 'zorva:node:' .. node .. ':created', prefix .. '|' .. subject)
  redis.call('HSET', user, 'node', node, 'subject', subject, 'text', text, 'rtt', rtt)
  local full = '0'
  local max = tonumber(redis.call('HGET', meta, 'max')) or 0
  if max > 0 and redis.call('ZCARD', members) >= max then
    full = '1'
    redis.call('HSET', meta, 'full', '1')
  end
  publish(prefix, table.concat({'J', origin, subject, full, rtt, id, text}, '|'))
  return append_members(prefix, subject, {'joined', full, left, old})
end

local function forget(prefix, origin, node, id)
  local left = leave(prefix, origin, id)
  redis.call('DEL', prefix .. 'u:' .. id)
  if redis.call('HGET', 'zorva:ids', id) == node .. '|' .. prefix then
    redis.call('HDEL', 'zorva:ids', id)
  end
  redis.call('SREM', 'zorva:node:' .. node .. ':ids', id)
  return left
end

-- A client's subject is created, then joined by its creator: a node that died in between
-- leaves it empty, and it goes with the node's ids.
local function remove_unjoined_subjects_of(node)
  local created = 'zorva:node:' .. node .. ':created'
  for _, entry in ipairs(redis.call('SMEMBERS', created)) do
    local bar = string.find(entry, '|', 1, true)
    local prefix, subject = string.sub(entry, 1, bar - 1), string.sub(entry, bar + 1)
    if redis.call('EXISTS', prefix .. 's:' .. subject) == 1 and
       redis.call('ZCARD', prefix .. 'm:' .. subject) == 0 then
      remove_subject(prefix, '', subject)
    end
  end
  redis.call('DEL', created)
end

local function forget_node(node)
  local ids = 'zorva:node:' .. node .. ':ids'
  local mark = node .. '|'
  for _, id in ipairs(redis.call('SMEMBERS', ids)) do
    local owner = redis.call('HGET', 'zorva:ids', id)
    if owner and string.sub(owner, 1, #mark) == mark then
      forget(string.sub(owner, #mark + 1), '', node, id)
    end
  end
  redis.call('DEL', ids)
  remove_unjoined_subjects_of(node)
end
)lua";

const std::string kClaim = std::string(kCommon) + R"lua(
local id, node, prefix = ARGV[1], ARGV[2], ARGV[3]
local mine = node .. '|' .. prefix
local owner = redis.call('HGET', 'zorva:ids', id)
if owner and owner ~= mine then return 0 end
redis.call('HSET', 'zorva:ids', id, mine)
redis.call('SADD', 'zorva:node:' .. node .. ':ids', id)
return 1
)lua";

const std::string kRelease = std::string(kCommon) + R"lua(
local id, node, prefix = ARGV[1], ARGV[2], ARGV[3]
if redis.call('HGET', 'zorva:ids', id) == node .. '|' .. prefix then
  redis.call('HDEL', 'zorva:ids', id)
  redis.call('SREM', 'zorva:node:' .. node .. ':ids', id)
end
return 1
)lua";

const std::string kCreate = std::string(kCommon) + R"lua(
local prefix, origin, subject = ARGV[1], ARGV[2], ARGV[3]
local meta = prefix .. 's:' .. subject
if redis.call('EXISTS', meta) == 1 then return 0 end
redis.call('HSET', meta, 'max', ARGV[4], 'persistent', ARGV[5], 'full', '0', 'client', ARGV[6])
redis.call('ZADD', prefix .. 'subjects', redis.call('INCR', prefix .. 'seq'), subject)
if ARGV[6] == '1' then
  redis.call('INCR', 'zorva:subjects')
  redis.call('SADD', 'zorva:node:' .. origin .. ':created', prefix .. '|' .. subject)
end
if ARGV[7] == '1' then publish(prefix, 'A|' .. origin .. '|' .. subject) end
return 1
)lua";

const std::string kJoin = std::string(kCommon) + R"lua(
local prefix, node = ARGV[1], ARGV[2]
return join(prefix, node, node, ARGV[3], ARGV[4], ARGV[5], ARGV[6])
)lua";

const std::string kDrop = std::string(kCommon) + R"lua(
local prefix, node = ARGV[1], ARGV[2]
return forget(prefix, node, node, ARGV[3])
)lua";

const std::string kUpdate = std::string(kCommon) + R"lua(
local prefix, origin, id, text = ARGV[1], ARGV[2], ARGV[3], ARGV[4]
local user = prefix .. 'u:' .. id
if redis.call('EXISTS', user) == 0 then return '' end
redis.call('HSET', user, 'text', text)
local subject = redis.call('HGET', user, 'subject') or ''
if subject ~= '' then publish(prefix, table.concat({'U', origin, subject, id, text}, '|')) end
return subject
)lua";

const std::string kRoundTrips = std::string(kCommon) + R"lua(
local prefix, origin = ARGV[1], ARGV[2]
local event = {'P', origin}
for i = 3, #ARGV - 1, 2 do
  local user = prefix .. 'u:' .. ARGV[i]
  if redis.call('HEXISTS', user, 'node') == 1 then
    redis.call('HSET', user, 'rtt', ARGV[i + 1])
    table.insert(event, ARGV[i])
    table.insert(event, ARGV[i + 1])
  end
end
publish(prefix, table.concat(event, '|') .. '|')
return 1
)lua";

// The operator's delete: members go to the lobby one at a time, so the last move removes the
// subject (its persistence is cleared first), as deleting does on a single server.
const std::string kRemove = std::string(kCommon) + R"lua(
local prefix, subject, lobby = ARGV[1], ARGV[2], ARGV[3]
local meta = prefix .. 's:' .. subject
if redis.call('EXISTS', meta) == 0 then return 0 end
redis.call('HSET', meta, 'persistent', '0')
local members = redis.call('ZRANGE', prefix .. 'm:' .. subject, 0, -1)
if #members == 0 then
  remove_subject(prefix, '', subject)
  return 1
end
for _, id in ipairs(members) do
  local user = redis.call('HMGET', prefix .. 'u:' .. id, 'node', 'rtt', 'text')
  join(prefix, '', user[1] or '', lobby, id, user[3] or '', user[2] or '0')
end
return 1
)lua";

const std::string kHeartbeat = std::string(kCommon) + R"lua(
local node, ttl = ARGV[1], tonumber(ARGV[2])
redis.call('ZADD', 'zorva:nodes', now_ms() + ttl, node)
redis.call('HSET', 'zorva:conns', node, ARGV[3])
local total = 0
for _, count in ipairs(redis.call('HVALS', 'zorva:conns')) do total = total + tonumber(count) end
return {total, tonumber(redis.call('GET', 'zorva:subjects') or '0')}
)lua";

// ZREM inside the script is what makes a dead node's members go exactly once, whichever node
// runs the reap first.
const std::string kReap = std::string(kCommon) + R"lua(
local self = ARGV[1]
local reaped = {}
for _, node in ipairs(redis.call('ZRANGEBYSCORE', 'zorva:nodes', '-inf', now_ms())) do
  if node ~= self then
    redis.call('ZREM', 'zorva:nodes', node)
    redis.call('HDEL', 'zorva:conns', node)
    forget_node(node)
    table.insert(reaped, node)
  end
end
return reaped
)lua";

// A node that starts holds nobody yet: whatever Redis still holds for its id is left from an
// earlier run that ended without dropping its guests, and goes as a dead node's would.
const std::string kForgetLeftovers = std::string(kCommon) + R"lua(
forget_node(ARGV[1])
return 1
)lua";

const std::string kLoad = std::string(kCommon) + R"lua(
local prefix = ARGV[1]
local out = {}
for _, subject in ipairs(redis.call('ZRANGE', prefix .. 'subjects', 0, -1)) do
  local meta = redis.call('HMGET', prefix .. 's:' .. subject, 'max', 'persistent', 'full')
  table.insert(out, {subject, meta[1] or '0', meta[2] or '0', meta[3] or '0',
                     append_members(prefix, subject, {})})
end
return out
)lua";

}  // namespace

namespace script {
const std::string_view Claim = kClaim;
const std::string_view Release = kRelease;
const std::string_view Create = kCreate;
const std::string_view Join = kJoin;
const std::string_view Drop = kDrop;
const std::string_view Update = kUpdate;
const std::string_view RoundTrips = kRoundTrips;
const std::string_view Remove = kRemove;
const std::string_view Heartbeat = kHeartbeat;
const std::string_view Reap = kReap;
const std::string_view ForgetLeftovers = kForgetLeftovers;
const std::string_view Load = kLoad;
}  // namespace script

}  // namespace zorva::cluster
