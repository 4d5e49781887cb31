// The client over wss:// to the daemon, with the development certificate.
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import {mkdtempSync, readFileSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {after, before, test} from 'node:test';
import {WebSocket} from 'ws';

import {ZorvaConnection} from '../zorva.js';

import {repoRoot, startDaemon, waitFor} from './support/daemon.js';

const certDir = mkdtempSync(join(tmpdir(), 'zorva-cert-'));
let daemon;

before(async () => {
  execFileSync(join(repoRoot, 'scripts/dev-cert'), [certDir, '1'], {stdio: 'ignore'});
  const [cert, key] = ['cert.pem', 'key.pem'].map((name) => join(certDir, name));
  daemon = await startDaemon(
      {args: ['--tls-port', '0', '--tls-cert', cert, '--tls-key', key, '--wss-port', '0']});
});

after(async () => {
  await daemon?.stop();
  rmSync(certDir, {recursive: true, force: true});
});

// Node's WebSocket with extra options: a browser trusts what the system trusts instead.
const webSocketWith = (options) => class extends WebSocket {
  constructor(url, protocol) { super(url, protocol, options); }
};

function secureClient(t, options) {
  const conn = new ZorvaConnection({WebSocket: webSocketWith(options)});
  conn.host = '127.0.0.1';
  conn.port = daemon.wssPort;
  conn.useTls = true;
  conn.onConnected = (c) => c.login('ivy', 'secret');
  t.after(() => {
    conn.active = false;
  });
  return conn;
}

test('logs in over wss:// when the certificate is trusted', async (t) => {
  const conn = secureClient(t, {ca: readFileSync(join(certDir, 'cert.pem'))});
  conn.active = true;
  await waitFor('the lobby over TLS', () => conn.currentSubject !== '');
  assert.match(conn.address, /^wss:\/\/127\.0\.0\.1:\d+\/zorva$/);
  assert.equal(conn.loggedIn, true);
});

test('an untrusted certificate is a socket error, never a connection', async (t) => {
  const conn = secureClient(t, {});
  const errors = [];
  let connected = false;
  conn.onSocketError = (_, code, text) => errors.push(text);
  conn.onConnected = () => (connected = true);
  conn.active = true;
  await waitFor('the refusal', () => errors.length > 0);
  assert.match(errors[0], /self[- ]signed certificate/);
  assert.equal(connected, false);
  assert.equal(conn.active, false);
});
