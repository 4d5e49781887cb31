// The browser lobby: log in or register, list the subjects and their members, create and join
// subjects, chat, look at users and the server's statistics. Everything the server sends is shown
// as text (textContent), never as markup.
import {WEBSOCKET_PATH, ZorvaConnection, ZorvaUser} from '../zorva.js';

const $ = (id) => document.getElementById(id);
const conn = new ZorvaConnection();
let registering = false;

function defaultServer() {
  const asked = new URLSearchParams(location.search).get('server');
  if (asked) return asked;
  return `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}${WEBSOCKET_PATH}`;
}

function showState(text) { $('status').textContent = text; }

function showLine(kind, text, from = '') {
  const item = document.createElement('li');
  item.className = kind;
  if (from) {
    const who = document.createElement('span');
    who.className = 'from';
    who.textContent = from;
    item.append(who);
  }
  item.append(document.createTextNode(text));
  const log = $('chat-log');
  log.append(item);
  log.scrollTop = log.scrollHeight;
}

function addItem(list, text, onClick) {
  const item = document.createElement('li');
  item.textContent = text;
  item.dataset.name = text;
  item.tabIndex = 0;
  item.addEventListener('click', () => onClick(text, item));
  list.append(item);
}

function findItem(list, text) {
  return [...list.children].find((item) => item.dataset.name === text);
}

function updateActions() {
  const inLobby = conn.loggedIn && conn.active;
  document.body.classList.toggle('logged-in', inLobby);
  for (const element of document.querySelectorAll('.needs-login button, .needs-login input')) {
    element.disabled = !inLobby;
  }
  $('disconnect').disabled = !inLobby;
  $('login').disabled = $('register').disabled = inLobby;
}

function selectUser(_, item) {
  for (const other of $('users').children) other.classList.toggle('selected', other === item);
}

function showDetails(rows) {
  const details = $('details');
  details.replaceChildren();
  for (const [term, value] of rows.filter(([, value]) => value !== '')) {
    const dt = document.createElement('dt');
    dt.textContent = term;
    const dd = document.createElement('dd');
    dd.textContent = value;
    details.append(dt, dd);
  }
}

function connect(asNewUser) {
  conn.active = false;
  registering = asNewUser;
  conn.url = $('server').value.trim();
  conn.subjectCode = $('code').value.trim();
  $('subjects').replaceChildren();
  $('users').replaceChildren();
  showState(`Connecting to ${conn.url}`);
  conn.active = true;
}

conn.onConnected = (c) => {
  showState('Connected, logging in');
  const id = $('user').value.trim();
  const password = $('password').value;
  if (!registering) {
    c.login(id, password);
    return;
  }
  const user = new ZorvaUser();
  user.id = id;
  user.password = password;
  c.loginNew(id, user);
};

conn.onLoginSuccess = (_, user) => {
  showState(`Logged in as ${user.id}`);
  updateActions();
};

conn.onLoginFailed = (c, reason) => {
  showState(`Login failed: ${reason}`);
  c.active = false;
  updateActions();
};

conn.onDisconnected = () => {
  showState('The server closed the connection');
  $('users').replaceChildren();
  updateActions();
};

conn.onSocketError = (_, code, text) => {
  showState(`Error Code ${code}: ${text}`);
  updateActions();
};

conn.onAddSubject = (c, name) => {
  // A "SUBJECTS" reply lists every name afresh.
  if (c.subjectNames.length === 1) $('subjects').replaceChildren();
  addItem($('subjects'), name, (subject) => c.joinSubject(subject));
  markCurrentSubject();
};

conn.onRemoveSubject = (_, name) => findItem($('subjects'), name)?.remove();

function markCurrentSubject() {
  for (const item of $('subjects').children) {
    item.classList.toggle('current', item.dataset.name === conn.currentSubject);
  }
}

conn.onJoinSubject = (_, name) => {
  $('users').replaceChildren();
  $('chat-title').textContent = `Chat in ${name}`;
  showLine('notice', `You are in ${name}`);
  markCurrentSubject();
};

conn.onAddUser = (c, user) => {
  addItem($('users'), user.id, selectUser);
  if (c.currentUser && user.id !== c.currentUser.id) showLine('notice', `${user.id} is here`);
};

conn.onRemoveUser = (_, user) => {
  findItem($('users'), user.id)?.remove();
  showLine('notice', `${user.id} left`);
};

conn.onChatReceived = (_, text, id) => showLine('chat', text, id);
conn.onShout = (_, text) => showLine('shout', text, 'Server');
conn.onServerError = (_, text) => showLine('error', text);
conn.onBeginSubject = () => showLine('notice', 'This subject is full now');

conn.onUserInfo = (_, user) => showDetails([
  ['User', user.id],
  ['Name', user.getFullName().trim()],
  ['City', [user.city, user.country].filter(Boolean).join(', ')],
  ['E-mail', user.eMail],
  ['Logins', String(user.loginCount)],
  ['Last login', user.lastLoginDate.toISOString().slice(0, 10)],
  ['Ping', `${user.getConnectionQuality()} ms`],
  ...user.infoTokens.map((_, i) => [user.getInfoTokenTag(i), user.getInfoTokenValue(i)]),
]);

conn.onServerStatus = (_, stats) => showDetails([
  ['Up', stats.getTimeActiveDesc()],
  ['Connections', `${stats.currentConnections} now, ${stats.totalConnections} in all`],
  ['Peak', String(stats.peakClientsConnected)],
  ['Subjects', `${stats.currentSubjects} now, ${stats.totalSubjectsCreated} made`],
  ['Bytes in', String(stats.bytesRead)],
  ['Bytes out', String(stats.bytesWritten)],
]);

$('login-form').addEventListener('submit', (event) => {
  event.preventDefault();
  connect(false);
});

$('register').addEventListener('click', () => {
  if ($('login-form').reportValidity()) connect(true);
});

$('disconnect').addEventListener('click', () => {
  conn.active = false;
  $('users').replaceChildren();
  showState('Not connected');
  updateActions();
});

$('create-form').addEventListener('submit', (event) => {
  event.preventDefault();
  conn.createSubject($('new-subject').value.trim(), Number($('new-limit').value) || 0);
  $('new-subject').value = '';
});

$('chat-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const text = $('chat-input').value;
  if (!text || !conn.sendChatMessage(text)) return;
  // The server relays chat to the others only.
  showLine('chat own', text, conn.currentUser.id);
  $('chat-input').value = '';
});

$('user-info').addEventListener('click', () => {
  const selected = $('users').querySelector('.selected');
  if (selected) conn.requestUserInfo(selected.dataset.name);
});

$('statistics').addEventListener('click', () => conn.requestStatistics());

$('server').value = defaultServer();
updateActions();
