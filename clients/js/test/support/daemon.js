// Starts the built zorva-server on free loopback ports for one test file and stops it by its pid.
// ZORVA_SERVER names the binary; the default is the build beside this checkout.
import {spawn} from 'node:child_process';
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {dirname, join, resolve} from 'node:path';
import {createInterface} from 'node:readline';
import {fileURLToPath} from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
export const repoRoot = resolve(here, '../../../..');
// What the build stages for a page to fetch: the library and the demo, nothing of the package.
export const webRoot = process.env.ZORVA_WEB_ROOT ?? join(repoRoot, 'build/web');
export const binary = (name) => process.env[`ZORVA_${name.replace('zorva-', '').toUpperCase()}`] ??
    join(repoRoot, 'build/bin', name);

const START_TIMEOUT_MS = 10000;

// The loopback address and port of a start line such as "Listening on 127.0.0.1:4000".
function portOf(line) {
  const match = / on \S*:(\d+)\s*$/.exec(line);
  return match ? Number(match[1]) : null;
}

// options.args: further daemon options. Resolves to { tcpPort, wsPort, wssPort (with
// --wss-port), wsUrl, httpUrl, stop }.
export async function startDaemon(options = {}) {
  const dir = mkdtempSync(join(tmpdir(), 'zorva-js-'));
  const args = [
    '--bind',
    '127.0.0.1',
    '--port',
    '0',
    '--ws-port',
    '0',
    '--ini',
    join(dir, 'Win.ini'),
    '--log',
    join(dir, 'zorva.log'),
    ...(options.args ?? []),
  ];
  const child = spawn(binary('zorva-server'), args, {stdio: ['ignore', 'pipe', 'inherit']});
  const stop = () => stopProcess(child).finally(() => rmSync(dir, {recursive: true, force: true}));
  try {
    const ports = await readPorts(child);
    return {
      ...ports,
      wsUrl: `ws://127.0.0.1:${ports.wsPort}/zorva`,
      httpUrl: `http://127.0.0.1:${ports.wsPort}`,
      stop,
    };
  } catch (error) {
    await stop();
    throw error;
  }
}

// The start lines name each listening address; "Room for" follows the last of them.
const PORT_LINES = {
  'Listening on ': 'tcpPort',
  'WebSocket on ': 'wsPort',
  'Secure WebSocket on ': 'wssPort',
};

function readPorts(child) {
  return new Promise((resolvePorts, reject) => {
    const lines = createInterface({input: child.stdout});
    const ports = {};
    const fail = (why) => {
      clearTimeout(timer);
      lines.close();
      reject(new Error(`zorva-server did not start: ${why}`));
    };
    const timer = setTimeout(() => fail('no ports reported in time'), START_TIMEOUT_MS);
    child.once('exit', (code) => fail(`it exited with ${code}`));
    child.once('error', (error) => fail(error.message));
    lines.on('line', (line) => {
      for (const [start, name] of Object.entries(PORT_LINES)) {
        if (line.startsWith(start)) ports[name] = portOf(line);
      }
      if (!line.startsWith('Room for ')) return;
      clearTimeout(timer);
      child.removeAllListeners('exit');
      lines.removeAllListeners('line');
      child.stdout.resume();
      if (ports.tcpPort && ports.wsPort)
        resolvePorts(ports);
      else
        reject(new Error(`zorva-server reported no WebSocket port: ${JSON.stringify(ports)}`));
    });
  });
}

// SIGTERM, then SIGKILL if the process has not gone within a few seconds.
export function stopProcess(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((done) => {
    const killer = setTimeout(() => child.kill('SIGKILL'), 3000);
    child.once('exit', () => {
      clearTimeout(killer);
      done();
    });
    child.kill('SIGTERM');
  });
}

// Resolves once `check()` holds; rejects after `timeoutMs` naming what was awaited.
export async function waitFor(what, check, timeoutMs = 5000) {
  const deadline = Date.now() + timeoutMs;
  while (!check()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((wake) => setTimeout(wake, 20));
  }
}
