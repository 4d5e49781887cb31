// The connection against a played server: lines in, events and sent lines out.
import assert from 'node:assert/strict';
import {test} from 'node:test';

import {ZorvaConnection} from '../zorva.js';

import {FakeWebSocket} from './support/fake-websocket.js';

const user = (id) => `${id}^^^^^^^^^12/30/1899^12/09/2026^1^^0\`0\`^`;

// Every event as one text, in the order fired.
function recorded(conn) {
  const log = [];
  const show = (value) => (typeof value === 'object' && value !== null ? `[${value.id}]` : value);
  for (const event of Object.keys(conn).filter((key) => key.startsWith('on'))) {
    if (event === 'onEncryptString' || event === 'onDecryptString') continue;
    conn[event] = (sender, ...args) => {
      assert.equal(sender, conn);
      if (event !== 'onStringRead') log.push([event, ...args.map(show)].join(' '));
    };
  }
  return log;
}

function connected(options = {}) {
  const conn = new ZorvaConnection({WebSocket: FakeWebSocket, ...options});
  conn.host = '127.0.0.1';
  conn.port = 4080;
  conn.subjectCode = 'GAME';
  const log = recorded(conn);
  conn.active = true;
  const socket = FakeWebSocket.last();
  socket.open();
  log.length = 0;
  return {conn, socket, log};
}

function loggedIn(id = 'ann') {
  const session = connected();
  session.socket.receive(
      `LOGIN|SUCCESS|${user(id)}`, 'SUBJECTS|Lobby|', `JOINSUBJECT|Lobby|${user(id)}`);
  session.log.length = 0;
  return session;
}

test('connects to the WebSocket path with the protocol name', () => {
  const conn = new ZorvaConnection({WebSocket: FakeWebSocket});
  conn.host = 'games.example';
  conn.port = 8443;
  conn.useTls = true;
  const log = recorded(conn);
  conn.active = true;
  const socket = FakeWebSocket.last();
  assert.equal(socket.url, 'wss://games.example:8443/zorva');
  assert.equal(socket.protocol, 'zorva.v1');
  assert.equal(conn.active, false, 'not active before the connection is up');
  socket.open();
  assert.equal(conn.active, true);
  assert.deepEqual(log, ['onConnected']);
});

test('a login puts the own record itself into the member list', () => {
  const {conn, socket, log} = connected();
  socket.receive(
      `LOGIN|SUCCESS|${user('ann')}`,
      'SUBJECTS|Lobby|Poker|',
      `JOINSUBJECT|Lobby|${user('bob')}|${user('ann')}`,
  );
  assert.deepEqual(log, [
    'onLoginSuccess [ann]',
    'onAddSubject Lobby',
    'onAddSubject Poker',
    'onJoinSubject Lobby',
    'onAddUser [bob]',
    'onAddUser [ann]',
  ]);
  assert.equal(conn.loggedIn, true);
  assert.equal(conn.currentSubject, 'Lobby');
  assert.deepEqual(conn.subjectNames, ['Lobby', 'Poker']);
  assert.equal(conn.getUser(1), conn.currentUser);
  assert.throws(() => conn.getUser(2), RangeError);
});

test('each server line fires its event with its arguments', async (t) => {
  const cases = [
    ['bare word', 'BEGINSUBJECT', ['onBeginSubject']],
    ['refused login', 'LOGIN|ERROR|Invalid Password', ['onLoginFailed Invalid Password']],
    ['chat keeps its bars', 'SEND|bob|CHAT|a | b', ['onChatReceived a | b bob']],
    ['data', 'SEND|bob|DATA|x', ['onDataReceived x bob']],
    ['unknown send kind', 'SEND|bob|MOVE|x', []],
    ['shout stops at a bar', 'SHOUT|hello|world', ['onShout hello']],
    [
      'error keeps the rest', 'ERROR|Unrecognized Server Command: HI|x',
      ['onServerError Unrecognized Server Command: HI|x']
    ],
    ['custom', 'CUSTOM|move|e2|e4', ['onCustomMessage move e2|e4']],
    ['add subject', 'ADDSUBJECT|Poker', ['onAddSubject Poker']],
    ['remove subject', 'REMOVESUBJECT|Poker', ['onRemoveSubject Poker']],
    ['names end at the closing bar', 'SUBJECTS|A|B|', ['onAddSubject A', 'onAddSubject B']],
    ['remove guest with more after the id', 'REMOVEGUEST|bob|x', []],
    ['user info about nobody listed', `USERINFO|${user('zed')}|`, []],
    ['unknown word', 'HELLO|x', []],
    ['object property name', 'constructor|x', []],
    ['lower-case word', 'shout|x', []],
  ];
  for (const [label, line, events] of cases) {
    await t.test(label, () => {
      const {socket, log} = connected();
      socket.receive(`JOINSUBJECT|Lobby|${user('bob')}`);
      log.length = 0;
      socket.receive(line);
      assert.deepEqual(log, events);
      assert.deepEqual(socket.sent, []);
    });
  }
});

test('a refused login leaves the earlier login as it was', () => {
  const {conn, socket} = loggedIn();
  const own = conn.currentUser;
  socket.receive('LOGIN|ERROR|You are already logged in');
  assert.equal(conn.loggedIn, true);
  assert.equal(conn.currentUser, own);
});

test('a ping is answered at once and its round trips go to the listed users', () => {
  const {conn, socket, log} = loggedIn();
  socket.receive(`ADDGUEST|bob|${user('bob')}`, 'PING|bob|42|ann|7|zed|9|', 'PING|');
  assert.deepEqual(socket.sent, ['PING|', 'PING|']);
  assert.deepEqual(conn.findUser('bob').pingHistory, [0, 0, 0, 0, 42]);
  assert.deepEqual(conn.currentUser.pingHistory, [0, 0, 0, 0, 7]);
  assert.deepEqual(log, ['onAddUser [bob]']);
});

test('a bad line is reported and the next line is handled', () => {
  const {socket, log} = loggedIn();
  socket.receive(
      'PING|ann|soon|', 'SERVERSTATS|1`x`|', 'JOINSUBJECT|Poker|broken', 'SHOUT|still here');
  assert.deepEqual(socket.sent, ['PING|']);
  assert.deepEqual(log, [
    'onLineError PING|ann|soon| \'soon\' is not a valid value for RoundTrip',
    'onLineError SERVERSTATS|1`x`| \'x\' is not a valid value for CurrentConnections',
    'onJoinSubject Poker',
    'onLineError JOINSUBJECT|Poker|broken \'\' is not a valid value for CreationDate',
    'onShout still here',
  ]);
});

test('a throwing handler ends its line only', () => {
  const {conn, socket, log} = loggedIn();
  conn.onShout = () => {
    throw new Error('handler broke');
  };
  socket.receive('SHOUT|a', 'ERROR|b');
  assert.deepEqual(log, ['onLineError SHOUT|a handler broke', 'onServerError b']);
});

test('the own user leaves the list without losing the record', () => {
  const {conn, socket, log} = loggedIn();
  const own = conn.currentUser;
  socket.receive('REMOVEGUEST|ann');
  assert.deepEqual(log, ['onRemoveUser [ann]']);
  assert.equal(conn.getUserCount(), 0);
  assert.equal(conn.currentUser, own);
});

test('user info refills the listed record in place and keeps its pings', () => {
  const {conn, socket, log} = loggedIn();
  socket.receive(`ADDGUEST|bob|${user('bob')}`, 'PING|bob|30|');
  const bob = conn.findUser('bob');
  socket.receive(`USERINFO|bob^^Bob^^Oslo^^^^^12/30/1899^12/09/2026^2^Level=3\`^0\`0\`^|`);
  assert.equal(conn.findUser('bob'), bob);
  assert.equal(bob.city, 'Oslo');
  assert.equal(bob.getInfoToken('level'), '3');
  assert.deepEqual(bob.pingHistory, [0, 0, 0, 0, 30]);
  assert.deepEqual(log.at(-1), 'onUserInfo [bob]');
});

test('closing from a member handler ends the listing without onDisconnected', () => {
  const {conn, socket, log} = connected();
  conn.onAddUser = (c) => {
    log.push('onAddUser');
    c.active = false;
  };
  socket.receive(`JOINSUBJECT|Lobby|${user('bob')}|${user('cat')}`);
  assert.deepEqual(log, ['onJoinSubject Lobby', 'onAddUser']);
  assert.equal(conn.active, false);
  assert.equal(conn.getUserCount(), 0);
  socket.receive('SHOUT|too late');
  assert.equal(log.length, 2, 'a closed connection reads nothing more');
});

test('the server ending the connection clears the session state and tells', () => {
  const {conn, socket, log} = loggedIn();
  socket.serverClose();
  assert.deepEqual(log, ['onDisconnected']);
  assert.equal(conn.active, false);
  assert.equal(conn.loggedIn, false);
  assert.equal(conn.currentSubject, '');
  assert.equal(conn.getUserCount(), 0);
  assert.equal(conn.currentUser.id, 'ann', 'the own record stays until the next login');
});

test('messages the server never sends end the connection', async (t) => {
  const cases = {
    'line past the limit': 'x'.repeat(ZorvaConnection.DEFAULT_MAX_LINE_LENGTH + 1),
    'line feed inside': 'SHOUT|a\nSHOUT|b',
    'binary message': new Uint8Array([83, 72]).buffer,
  };
  for (const [label, data] of Object.entries(cases)) {
    await t.test(label, () => {
      const {conn, socket, log} = loggedIn();
      socket.receive(data);
      assert.deepEqual(log, ['onDisconnected']);
      assert.equal(conn.active, false);
      assert.equal(socket.readyState, 3);
    });
  }
});

test('a failed connection attempt is a socket error and nothing else', () => {
  const conn = new ZorvaConnection({WebSocket: FakeWebSocket});
  const log = recorded(conn);
  conn.active = true;
  FakeWebSocket.last().fail('connect ECONNREFUSED 127.0.0.1:1');
  assert.deepEqual(log, ['onSocketError 0 connect ECONNREFUSED 127.0.0.1:1']);
  conn.active = true;
  assert.notEqual(FakeWebSocket.last().readyState, 3, 'activating again retries');
});

test('requests send the lines of the protocol', () => {
  const {conn, socket} = loggedIn();
  conn.login('bob', 'pw');
  conn.loginNew('cat', conn.currentUser);
  conn.createSubject('Poker');
  conn.createSubject('Chess', 2);
  conn.joinSubject('Lobby');
  conn.joinSubject('Poker');
  conn.sendChatMessage('hi | all');
  conn.sendDataMessage('d');
  conn.sendMessage('move', 'e4');
  conn.sendFeedback('nice');
  conn.requestUserInfo('bob');
  conn.requestStatistics();
  conn.currentUser.city = 'Oslo';
  conn.updateUserInfo();
  assert.deepEqual(socket.sent, [
    'LOGIN|bob|GAME|pw',
    `LOGINNEW|cat|GAME|${user('ann')}`,
    'CREATESUBJECT|Poker|0|',
    'CREATESUBJECT|Chess|2|',
    'JOINSUBJECT|Poker',
    'SEND|CHAT|hi | all',
    'SEND|DATA|d',
    'CUSTOM|move|e4',
    'FEEDBACK|nice',
    'USERINFO|bob|',
    'SERVERSTATS|',
    'USERUPDATE|ann|ann^^^^Oslo^^^^^12/30/1899^12/09/2026^1^^0`0`^|',
  ]);
});

test('nothing is sent while not connected, nor a line holding a line feed', () => {
  const conn = new ZorvaConnection({WebSocket: FakeWebSocket});
  assert.equal(conn.login('ann', 'pw'), false);
  assert.equal(conn.updateUserInfo(), false);
  conn.active = true;
  const socket = FakeWebSocket.last();
  assert.equal(conn.sendChatMessage('before open'), false);
  socket.open();
  assert.equal(conn.sendChatMessage('a\nPING|'), false);
  assert.deepEqual(socket.sent, []);
});

test('port and subject code are kept while connected; the host is stored for next time', () => {
  const {conn} = connected();
  conn.port = 1;
  conn.subjectCode = 'OTHER';
  conn.host = 'elsewhere';
  assert.equal(conn.port, 4080);
  assert.equal(conn.subjectCode, 'GAME');
  assert.equal(conn.host, 'elsewhere');
});

test('encryption applies before sending, decryption before dispatch', () => {
  const {conn, socket, log} = connected();
  const reverse = (text) => [...text].reverse().join('');
  conn.onEncryptString = (_, line) => reverse(line);
  conn.onDecryptString = (_, line) => reverse(line);
  socket.receive(reverse('SHOUT|secret'));
  conn.sendChatMessage('x');
  assert.deepEqual(log, ['onShout secret']);
  assert.deepEqual(socket.sent, [reverse('SEND|CHAT|x')]);
});

test('a line past the output cap is not sent and is reported', () => {
  const {conn, socket, log} = connected();
  conn.maxOutput = 30;
  socket.bufferedAmount = 10;
  assert.equal(conn.sendChatMessage('far too long'), false);
  assert.equal(conn.sendChatMessage('ok'), true);
  assert.deepEqual(socket.sent, ['SEND|CHAT|ok']);
  assert.match(log[0], /^onSendError SEND\|CHAT\|far too long Output queue full: 10 bytes/);
});

test('an unassigned socket error goes to the console', (t) => {
  const printed = t.mock.method(console, 'error', () => {});
  const conn = new ZorvaConnection({WebSocket: FakeWebSocket});
  conn.active = true;
  FakeWebSocket.last().fail('refused');
  assert.deepEqual(printed.mock.calls[0].arguments, ['Error Code 0: refused']);
});
