// The browser lobby served by the daemon, in headless Chromium: two browser users and one
// zorva-chat user meet in a subject and chat. ZORVA_SCREENSHOT names where the picture of the
// first browser goes (default: a temporary folder); CHROMIUM names the browser.
import assert from 'node:assert/strict';
import {spawn} from 'node:child_process';
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {createInterface} from 'node:readline';
import {after, before, test} from 'node:test';
import puppeteer from 'puppeteer-core';

import {binary, webRoot, startDaemon, stopProcess, waitFor} from './support/daemon.js';

const WAIT_MS = 15000;
const profile = mkdtempSync(join(tmpdir(), 'zorva-chromium-'));
let daemon;
let browser;

before(async () => {
  daemon = await startDaemon({args: ['--web-root', webRoot]});
  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    timeout: WAIT_MS,
    args: [
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
    ],
  });
});

after(async () => {
  await browser?.close();
  await daemon?.stop();
  rmSync(profile, {recursive: true, force: true});
});

// One browser user of the lobby page. Background tabs get no animation frames, so each action
// brings its page to the front first.
async function openLobby(user) {
  const page = await browser.newPage();
  page.setDefaultTimeout(WAIT_MS);
  await page.setViewport({width: 1280, height: 660});
  const problems = [];
  page.on('pageerror', (error) => problems.push(error.message));
  await page.goto(`${daemon.httpUrl}/demo/`);
  const lobby = {
    page,
    problems,
    async type(selector, text) {
      await page.bringToFront();
      await page.type(selector, text);
    },
    async click(selector) {
      await page.bringToFront();
      await page.waitForSelector(selector);
      await page.click(selector);
    },
    async say(text) {
      await lobby.type('#chat-input', text);
      await page.keyboard.press('Enter');
    },
    chat: () => page.$$eval('#chat-log li', (items) => items.map((item) => item.textContent)),
    waitForChat: (text) => page.waitForFunction(
        (wanted) => [...document.querySelectorAll('#chat-log li')].some(
            (li) => li.textContent === wanted),
        {polling: 100},
        text,
        ),
  };
  await lobby.type('#user', user);
  await lobby.type('#password', 'secret');
  await lobby.click('#login');
  await page.waitForFunction(
      (id) => document.getElementById('status').textContent === `Logged in as ${id}`,
      {polling: 100},
      user,
  );
  return lobby;
}

// zorva-chat on the daemon's TCP port, fed lines by the test.
function terminalUser(t, user) {
  const child = spawn(
      binary('zorva-chat'),
      ['--host', '127.0.0.1', '--port', String(daemon.tcpPort), '--code', 'demo', '--user', user],
      {env: {...process.env, ZORVA_PASSWORD: 'secret'}, stdio: ['pipe', 'pipe', 'inherit']},
  );
  t.after(() => stopProcess(child));
  const lines = [];
  createInterface({input: child.stdout}).on('line', (line) => lines.push(line));
  return {lines, say: (line) => child.stdin.write(`${line}\n`)};
}

test('two browsers and a terminal chat in one subject', {timeout: 90000}, async (t) => {
  const alice = await openLobby('alice');
  const bob = await openLobby('bob');
  const carol = terminalUser(t, 'carol');
  await waitFor('carol in the lobby', () => carol.lines.some((l) => l.startsWith('* you joined')));

  await alice.type('#new-subject', 'Dragon Raid');
  await alice.click('#create');
  await alice.waitForChat('You are in Dragon Raid');
  await bob.click('#subjects li[data-name="Dragon Raid"]');
  await bob.waitForChat('You are in Dragon Raid');
  carol.say('/join Dragon Raid');
  await alice.waitForChat('carol is here');

  await alice.say('Anyone up for the raid tonight?');
  await bob.waitForChat('aliceAnyone up for the raid tonight?');
  await bob.say('Count me in, I bring the healing potions');
  await alice.waitForChat('bobCount me in, I bring the healing potions');
  carol.say('I will tank. Meet at the gate at 20:00');
  await alice.waitForChat('carolI will tank. Meet at the gate at 20:00');
  const heard = [
    '<alice> Anyone up for the raid tonight?',
    '<bob> Count me in, I bring the healing potions',
  ];
  await waitFor('carol hears both', () => heard.every((line) => carol.lines.includes(line)));

  const members =
      await alice.page.$$eval('#users li', (items) => items.map((li) => li.dataset.name));
  assert.deepEqual(members, ['alice', 'bob', 'carol']);
  await alice.click('#users li[data-name="carol"]');
  await alice.click('#user-info');
  await alice.page.waitForFunction(
      () => document.querySelector('#details dd')?.textContent === 'carol',
      {polling: 100},
  );

  const picture = process.env.ZORVA_SCREENSHOT ?? join(profile, 'browser-lobby.png');
  await alice.page.screenshot({path: picture});

  // Text from the server is shown as text, never as markup.
  const trap = '<img src=x onerror="document.title=1"> is just text';
  carol.say(trap);
  await bob.waitForChat(`carol${trap}`);
  assert.equal(await bob.page.$('#chat-log img'), null);
  for (const {problems} of [alice, bob]) assert.deepEqual(problems, []);
});

test('the web root serves the page and its library, nothing of the package', async () => {
  const status = async (path) => (await fetch(`${daemon.httpUrl}${path}`)).status;
  for (const path of ['/', '/demo/', '/demo/lobby.js', '/zorva.js']) {
    assert.equal(await status(path), 200, path);
  }
  const outside = ['/package.json', '/node_modules/ws/package.json', '/test/support/daemon.js'];
  for (const path of outside) {
    assert.equal(await status(path), 404, path);
  }
});
