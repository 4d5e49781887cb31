// The client against the real daemon's WebSocket port, beside a plain TCP client.
import assert from 'node:assert/strict';
import net from 'node:net';
import {after, before, test} from 'node:test';
import {WebSocket} from 'ws';

import {ZorvaConnection, ZorvaUser} from '../zorva.js';

import {startDaemon, waitFor} from './support/daemon.js';

let daemon;

before(async () => {
  // Quick pings with a short timeout: a client that did not answer them would be dropped.
  daemon = await startDaemon({args: ['--ping-interval-ms', '200', '--timeout', '1']});
});

after(() => daemon?.stop());

// A connection that records its events and is closed when the test ends.
function client(t, code = 'GAME') {
  const conn = new ZorvaConnection({WebSocket, url: daemon.wsUrl});
  conn.subjectCode = code;
  conn.events = [];
  conn.onStringRead = (_, line) => conn.events.push(line);
  conn.onSocketError = (_, code, text) => conn.events.push(`socket error ${code} ${text}`);
  t.after(() => {
    conn.active = false;
  });
  return conn;
}

async function loggedIn(t, id, code) {
  const conn = client(t, code);
  conn.onConnected = (c) => c.login(id, 'secret');
  conn.active = true;
  await waitFor(`${id} in the lobby`, () => conn.currentSubject !== '');
  return conn;
}

// A plain TCP client of the same daemon: sends lines, collects the lines it receives.
async function tcpClient(t) {
  const socket = net.connect(daemon.tcpPort, '127.0.0.1');
  t.after(() => socket.destroy());
  const lines = [];
  let partial = '';
  socket.setEncoding('utf8');
  socket.on('data', (data) => {
    const parts = (partial + data).split('\n');
    partial = parts.pop();
    lines.push(...parts);
  });
  await new Promise((connected) => socket.once('connect', connected));
  return {lines, send: (line) => socket.write(`${line}\n`)};
}

test('a browser-side client and a TCP client share the lobby and chat', async (t) => {
  const ann = await loggedIn(t, 'ann', 'MIXED');
  const tcp = await tcpClient(t);
  tcp.send('LOGIN|bob|MIXED|secret');
  await waitFor('bob listed for ann', () => ann.findUser('bob'));
  await waitFor('bob in the lobby', () => tcp.lines.some((l) => l.startsWith('JOINSUBJECT|')));

  const heard = [];
  ann.onChatReceived = (_, text, id) => heard.push([id, text]);
  tcp.send('SEND|CHAT|hello | ann, from TCP');
  ann.sendChatMessage('hi bob ✓');
  await waitFor(
      'chat both ways', () => heard.length && tcp.lines.some((l) => l.includes('hi bob')));
  assert.deepEqual(heard, [['bob', 'hello | ann, from TCP']]);
  assert.ok(tcp.lines.includes('SEND|ann|CHAT|hi bob ✓'));
  assert.equal(ann.loggedIn, true);
  assert.deepEqual(ann.subjectNames, ['Lobby Chat']);
});

test('subjects are created, joined and filled; members follow', async (t) => {
  const ann = await loggedIn(t, 'cat', 'ROOMS');
  const dan = await loggedIn(t, 'dan', 'ROOMS');
  const full = [];
  for (const conn of [ann, dan]) conn.onBeginSubject = (c) => full.push(c.currentUser.id);

  ann.createSubject('Poker', 2);
  await waitFor('cat in Poker', () => ann.currentSubject === 'Poker');
  await waitFor('Poker announced to dan', () => dan.subjectNames.includes('Poker'));
  assert.equal(dan.findUser('cat'), null, 'cat left the lobby');

  dan.joinSubject('Poker');
  await waitFor('both told Poker is full', () => full.length === 2);
  assert.deepEqual(full.sort(), ['cat', 'dan']);
  assert.deepEqual(
      [dan.getUser(0).id, dan.getUser(1).id],
      ['cat', 'dan'],
      'members in joining order, the newcomer last',
  );
  assert.equal(dan.getUser(1), dan.currentUser);

  const errors = [];
  dan.onServerError = (_, text) => errors.push(text);
  dan.joinSubject('Nowhere');
  dan.createSubject('Poker');
  await waitFor('two refusals', () => errors.length === 2);
  assert.deepEqual(errors, [
    'The specifiec Subject does not exist',
    'A Subject with that name already exists',
  ]);
});

test('user info and statistics arrive as records', async (t) => {
  const eve = await loggedIn(t, 'eve', 'INFO');
  const fay = await loggedIn(t, 'fay', 'INFO');
  await waitFor('fay listed for eve', () => eve.findUser('fay'));

  fay.currentUser.city = 'Oslo';
  fay.currentUser.setInfoToken('Level', '7');
  fay.updateUserInfo();
  let info = null;
  eve.onUserInfo = (_, user) => (info = user);
  await waitFor('the update reaches eve', () => info?.city === 'Oslo');
  assert.equal(info, eve.findUser('fay'));
  assert.equal(info.password, '', 'the server never sends a password');

  let stats = null;
  eve.onServerStatus = (_, record) => (stats = record);
  eve.requestStatistics();
  await waitFor('statistics', () => stats);
  assert.ok(stats.currentConnections >= 2);
  assert.ok(stats.bytesRead > 0);
});

test('registration and refused logins', async (t) => {
  const failed = [];
  const conn = client(t);
  const user = new ZorvaUser();
  user.id = 'NewUser';
  conn.onConnected = (c) => c.loginNew('NewUser', user);
  conn.onLoginFailed = (_, reason) => failed.push(reason);
  conn.active = true;
  await waitFor('registered and logged in', () => conn.loggedIn);
  assert.equal(conn.currentUser.id, 'NewUser');

  const twin = client(t);
  twin.onConnected = (c) => c.login('NewUser', 'x');
  twin.onLoginFailed = (_, reason) => failed.push(reason);
  twin.active = true;
  await waitFor('the refusal', () => failed.length === 1);
  assert.deepEqual(failed, ['A User with this ID is already logged in']);
  assert.equal(twin.loggedIn, false);
});

test('pings are answered by the client itself', async (t) => {
  const gil = await loggedIn(t, 'gil', 'PINGS');
  // Pings every 200 ms and a one-second timeout: two seconds without answers would drop it.
  await waitFor('several pings', () => gil.events.filter((l) => l.startsWith('PING|')).length >= 5);
  await new Promise((wait) => setTimeout(wait, 1500));
  assert.equal(gil.active, true);
  assert.equal(gil.loggedIn, true);
});

test('the daemon ending the connection fires onDisconnected', async (t) => {
  const hal = client(t);
  let ended = false;
  hal.onDisconnected = () => (ended = true);
  hal.onConnected = (c) => c.sendMessageData('x'.repeat(70000));
  hal.active = true;
  await waitFor('the drop of an over-long line', () => ended);
  assert.equal(hal.active, false);
});
