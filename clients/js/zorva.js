// The Zorva client for browsers and Node: ZorvaConnection talks to the server's WebSocket port
// (one protocol line per text message), answers pings by itself, keeps the members of the
// current subject, the subject names and the last statistics, and turns every line from the
// server into an event. ZorvaUser and ZorvaServerStats read and write the records that travel
// inside the lines.
//
//   import { ZorvaConnection } from './zorva.js';
//   const conn = new ZorvaConnection();  // in Node: new ZorvaConnection({ WebSocket }), 'ws'
//   conn.host = '127.0.0.1'; conn.port = 4080; conn.subjectCode = 'chess';
//   conn.onConnected = (c) => c.login('ann', 'secret');
//   conn.onChatReceived = (c, text, id) => console.log(`<${id}> ${text}`);
//   conn.active = true;
//
// Records passed to events stay the connection's: read them, do not keep them past their life
// (a listed user lives until it leaves the list, the own user until the next login). Handlers
// may call any operation, `active = false` included. A line that fails while it is handled (a
// record that does not parse, a handler that throws) ends that line only and is reported to
// onLineError.

const FIELD = '|';
const USER_FIELD = '^';
const ITEM = '`';

export const WEBSOCKET_PATH = '/zorva';
export const WEBSOCKET_PROTOCOL = 'zorva.v1';

// Takes fields off the front of a text: the part before the next separator is returned and
// removed together with the separator; without a separator the whole rest is returned.
class Fields {
  constructor(text) { this.rest = text; }

  next(separator = FIELD) {
    const at = this.rest.indexOf(separator);
    if (at < 0) {
      const all = this.rest;
      this.rest = '';
      return all;
    }
    const field = this.rest.slice(0, at);
    this.rest = this.rest.slice(at + 1);
    return field;
  }
}

// Raised when a field of a record's text form is not a number or a date; `field` names it.
export class ZorvaConvertError extends Error {
  constructor(field, value) {
    super(`'${value}' is not a valid value for ${field}`);
    this.name = 'ZorvaConvertError';
    this.field = field;
  }
}

const INT32 = /^-?\d+$/;

function strToInt(text, field) {
  const value = INT32.test(text) ? Number(text) : NaN;
  if (!Number.isInteger(value) || value < -2147483648 || value > 2147483647) {
    throw new ZorvaConvertError(field, text);
  }
  return value;
}

const FLOAT = /^-?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/;

function strToFloat(text, field) {
  const value = FLOAT.test(text) ? Number(text) : NaN;
  if (!Number.isFinite(value)) throw new ZorvaConvertError(field, text);
  return value;
}

// Byte totals: whole numbers below 10^15 as plain digits, others with at most 15 significant
// digits and an upper-case exponent ("1.5E15"), as the server writes them.
function floatToStr(value) {
  if (Number.isInteger(value) && Math.abs(value) < 1e15) return String(value);
  const [digits, exponent] = value.toPrecision(15).split('e');
  const mantissa = digits.includes('.') ? digits.replace(/\.?0+$/, '') : digits;
  return exponent === undefined ? mantissa : `${mantissa}E${Number(exponent)}`;
}

// Dates travel as "mm/dd/yyyy"; day zero, 12/30/1899, means "never".
export const NEVER = new Date(Date.UTC(1899, 11, 30));

function dateToStr(date) {
  const pad = (n, width) => String(n).padStart(width, '0');
  return `${pad(date.getUTCMonth() + 1, 2)}/${pad(date.getUTCDate(), 2)}/${
      pad(date.getUTCFullYear(), 4)}`;
}

const DATE = /^(\d{1,2})\/(\d{1,2})\/(\d{1,4})$/;

function strToDate(text, field) {
  const parts = DATE.exec(text);
  if (!parts) throw new ZorvaConvertError(field, text);
  const [month, day, year] = parts.slice(1).map(Number);
  const date = new Date(0);
  // setUTCFullYear, unlike Date.UTC, takes years below 100 as they are.
  date.setUTCFullYear(year, month - 1, day);
  const valid =
      year >= 1 && date.getUTCMonth() === month - 1 && date.getUTCDate() === day && month >= 1;
  if (!valid) throw new ZorvaConvertError(field, text);
  return date;
}

const sameTextIgnoringCase = (a, b) => a.toLowerCase() === b.toLowerCase();

// A user's glyph: up to 32 by 32 pixels, each a 0x00BBGGRR colour, row by row.
export class ZorvaGlyph {
  constructor(width = 0, height = 0) {
    this.width = width;
    this.height = height;
    this.pixels = new Array(width * height).fill(0);
  }

  pixel(x, y) { return this.pixels[y * this.width + x]; }

  setPixel(x, y, colour) { this.pixels[y * this.width + x] = colour; }
}

// A user: identity, profile, glyph, info tokens ("tag=value"), account dates and the last five
// round trips the server reported. The server never sends a password: `password` is empty in
// every record received.
export class ZorvaUser {
  static MAX_GLYPH_SIDE = 32;
  static MAX_COLOUR = 0xffffff;
  static PING_SLOTS = 5;

  constructor() {
    this.id = '';
    this.password = '';
    this.firstName = '';
    this.lastName = '';
    this.city = '';
    this.country = '';
    this.eMail = '';
    this.homePage = '';
    this.additionalInfo = '';
    this.creationDate = NEVER;
    this.lastLoginDate = NEVER;
    this.loginCount = 0;
    this.infoTokens = [];
    this.glyph = new ZorvaGlyph();
    // Oldest first, newest last; 0 means no sample.
    this.pingHistory = new Array(ZorvaUser.PING_SLOTS).fill(0);
  }

  static fromString(text) {
    const user = new ZorvaUser();
    user.fromString(text);
    return user;
  }

  getFullName() { return `${this.firstName} ${this.lastName}`; }

  getInfoTokenCount() { return this.infoTokens.length; }

  getInfoTokenTag(index) {
    const entry = this.#infoTokenAt(index);
    const eq = entry.indexOf('=');
    return eq < 0 ? entry : entry.slice(0, eq);
  }

  getInfoTokenValue(index) {
    const entry = this.#infoTokenAt(index);
    const eq = entry.indexOf('=');
    return eq < 0 ? '' : entry.slice(eq + 1);
  }

  // The value of the first token whose tag matches, case-insensitively; '' when none does.
  getInfoToken(tag) {
    const found = this.#findInfoToken(tag);
    return found < 0 ? '' : this.getInfoTokenValue(found);
  }

  // Replaces the first token whose tag matches, appends when none does; an empty value
  // deletes the matching token.
  setInfoToken(tag, value) {
    const found = this.#findInfoToken(tag);
    if (value === '') {
      if (found >= 0) this.infoTokens.splice(found, 1);
      return;
    }
    const entry = `${tag}=${value}`;
    if (found >= 0)
      this.infoTokens[found] = entry;
    else
      this.infoTokens.push(entry);
  }

  recordPing(value) {
    this.pingHistory.shift();
    this.pingHistory.push(value);
  }

  // The average of the measured round trips in milliseconds; 0 when there is none.
  getConnectionQuality() {
    const samples = this.pingHistory.filter((sample) => sample > 0);
    if (samples.length === 0) return 0;
    return Math.trunc(samples.reduce((sum, sample) => sum + sample, 0) / samples.length);
  }

  toString() {
    const fields = [
      this.id,
      this.password,
      this.firstName,
      this.lastName,
      this.city,
      this.country,
      this.eMail,
      this.homePage,
      this.additionalInfo,
      dateToStr(this.creationDate),
      dateToStr(this.lastLoginDate),
      String(this.loginCount),
    ];
    const items = (values) => values.map((value) => value + ITEM).join('');
    const {width, height} = this.glyph;
    const pixels = [];
    for (let x = 0; x < width; ++x) {
      for (let y = 0; y < height; ++y) pixels.push(String(this.glyph.pixel(x, y)));
    }
    return (
        fields.map((field) => field + USER_FIELD).join('') + items(this.infoTokens) + USER_FIELD +
        items([String(width), String(height), ...pixels]) + USER_FIELD);
  }

  // Overwrites every field of the text form; the ping history stays. Throws ZorvaConvertError
  // on a bad date, number or glyph: fields read before the bad one keep their new values.
  fromString(text) {
    const fields = new Fields(text);
    for (const name
             of ['id',
                 'password',
                 'firstName',
                 'lastName',
                 'city',
                 'country',
                 'eMail',
                 'homePage',
                 'additionalInfo',
    ]) {
      this[name] = fields.next(USER_FIELD);
    }
    this.creationDate = strToDate(fields.next(USER_FIELD), 'CreationDate');
    this.lastLoginDate = strToDate(fields.next(USER_FIELD), 'LastLoginDate');
    this.loginCount = strToInt(fields.next(USER_FIELD), 'LoginCount');
    this.infoTokens = [];
    for (const tokens = new Fields(fields.next(USER_FIELD)); tokens.rest !== '';) {
      this.infoTokens.push(tokens.next(ITEM));
    }
    this.glyph = readGlyph(new Fields(fields.next(USER_FIELD)));
  }

  #infoTokenAt(index) {
    if (!Number.isInteger(index) || index < 0 || index >= this.infoTokens.length) {
      throw new RangeError(`Info token index out of bounds (${index})`);
    }
    return this.infoTokens[index];
  }

  #findInfoToken(tag) {
    return this.infoTokens.findIndex((entry) => {
      const eq = entry.indexOf('=');
      return eq >= 0 && sameTextIgnoringCase(entry.slice(0, eq), tag);
    });
  }
}

// Width, height, then the pixels column by column. The size is checked against the entries the
// text holds before anything is made for it.
function readGlyph(items) {
  const width = strToInt(items.next(ITEM), 'Glyph width');
  const height = strToInt(items.next(ITEM), 'Glyph height');
  const isSide = (side) => side >= 0 && side <= ZorvaUser.MAX_GLYPH_SIDE;
  const present = items.rest.split(ITEM).length - (items.rest.endsWith(ITEM) ? 1 : 0);
  if (!isSide(width) || !isSide(height) || width * height > present) {
    throw new ZorvaConvertError('Glyph size', `${width}x${height}`);
  }
  const glyph = new ZorvaGlyph(width, height);
  for (let x = 0; x < width; ++x) {
    for (let y = 0; y < height; ++y) {
      const item = items.next(ITEM);
      const colour = INT32.test(item) ? Number(item) : -1;
      if (colour < 0 || colour > ZorvaUser.MAX_COLOUR) {
        throw new ZorvaConvertError('Glyph pixel', item);
      }
      glyph.setPixel(x, y, colour);
    }
  }
  return glyph;
}

const STATS_FIELDS = [
  'secondsActive',
  'currentConnections',
  'totalConnections',
  'currentSubjects',
  'totalSubjectsCreated',
  'peakClientsConnected',
];

// The counters of a running server, as a "SERVERSTATS" answer carries them.
export class ZorvaServerStats {
  constructor() {
    for (const name of STATS_FIELDS) this[name] = 0;
    this.bytesRead = 0;
    this.bytesWritten = 0;
  }

  toString() {
    const values = STATS_FIELDS.map((name) => String(this[name]));
    values.push(floatToStr(this.bytesRead), floatToStr(this.bytesWritten));
    return values.map((value) => value + ITEM).join('');
  }

  // Throws ZorvaConvertError naming the first field that is not a number; fields before it keep
  // their new values.
  fromString(text) {
    const items = new Fields(text);
    for (const name of STATS_FIELDS) {
      this[name] = strToInt(items.next(ITEM), name[0].toUpperCase() + name.slice(1));
    }
    this.bytesRead = strToFloat(items.next(ITEM), 'BytesRead');
    this.bytesWritten = strToFloat(items.next(ITEM), 'BytesWritten');
  }

  // "2 hrs 2 mins 2 secs": zero units are left out, the seconds are always there.
  getTimeActiveDesc() {
    let rest = this.secondsActive;
    const parts = [];
    for (const [unit, seconds] of [['day', 86400], ['hr', 3600], ['min', 60], ]) {
      const count = Math.floor(rest / seconds);
      rest -= count * seconds;
      if (count > 0) parts.push(`${count} ${unit}${count === 1 ? '' : 's'}`);
    }
    parts.push(`${rest} sec${rest === 1 ? '' : 's'}`);
    return parts.join(' ');
  }
}

// The lines a client sends, built in one place.
const Msg = {
  login: (id, code, password) => ['LOGIN', id, code, password].join(FIELD),
  loginNew: (id, code, userText) => ['LOGINNEW', id, code, userText].join(FIELD),
  joinSubject: (name) => `JOINSUBJECT|${name}`,
  createSubject: (name, limit) => `CREATESUBJECT|${name}|${limit}|`,
  sendChat: (text) => `SEND|CHAT|${text}`,
  sendData: (text) => `SEND|DATA|${text}`,
  custom: (type, text) => `CUSTOM|${type}|${text}`,
  feedback: (text) => `FEEDBACK|${text}`,
  userInfo: (id) => `USERINFO|${id}|`,
  serverStats: () => 'SERVERSTATS|',
  userUpdate: (id, userText) => `USERUPDATE|${id}|${userText}|`,
  pingReply: () => 'PING|',
};

const EVENTS = [
  'onAddSubject',    'onAddUser',      'onBeginSubject',  'onChatReceived',  'onConnected',
  'onCustomMessage', 'onDataReceived', 'onDecryptString', 'onDisconnected',  'onEncryptString',
  'onJoinSubject',   'onLoginFailed',  'onLoginSuccess',  'onRemoveSubject', 'onRemoveUser',
  'onServerError',   'onServerStatus', 'onShout',         'onStringRead',    'onUserInfo',
  'onSocketError',   'onLineError',    'onSendError',
];

function defaultWebSocket() {
  const constructor = globalThis.WebSocket;
  if (constructor) return constructor;
  throw new Error(
      'No WebSocket here: pass one, e.g. new ZorvaConnection({ WebSocket }) with WebSocket from \'ws\'',
  );
}

export class ZorvaConnection {
  // The server never sends a line longer than this.
  static DEFAULT_MAX_LINE_LENGTH = 65536;
  static DEFAULT_MAX_OUTPUT = 8 * 1024 * 1024;

  #WebSocket;
  #socket = null;
  #connected = false;
  #closing = false;
  #session = 0;
  #listVersion = 0;
  #namesVersion = 0;
  #port = 0;
  #subjectCode = '';
  #loggedIn = false;
  #currentUser = null;
  #currentSubject = '';
  #users = [];
  #subjectNames = [];
  #serverStats = new ZorvaServerStats();

  // options.WebSocket: the WebSocket constructor (default: the global one, as in browsers).
  // options.url: the whole address, such as "wss://games.example/zorva"; when given, it is used
  // instead of host, port and useTls.
  constructor(options = {}) {
    this.#WebSocket = options.WebSocket ?? null;
    this.host = 'localhost';
    this.url = options.url ?? '';
    this.useTls = false;
    this.maxLineLength = ZorvaConnection.DEFAULT_MAX_LINE_LENGTH;
    this.maxOutput = ZorvaConnection.DEFAULT_MAX_OUTPUT;
    for (const event of EVENTS) this[event] = null;
  }

  // True once connected, until the connection ends. Setting true starts connecting (active
  // still reads false until onConnected); setting false closes without onDisconnected.
  get active() { return this.#connected; }

  set active(value) { this.setActive(value); }

  get port() { return this.#port; }

  set port(value) {
    if (!this.#connected) this.#port = value;
  }

  get subjectCode() { return this.#subjectCode; }

  set subjectCode(value) {
    if (!this.#connected) this.#subjectCode = value;
  }

  get loggedIn() { return this.#loggedIn; }

  // The own user's record from the last successful login (null before one). The program may
  // edit it and then call updateUserInfo.
  get currentUser() { return this.#currentUser; }

  get currentSubject() { return this.#currentSubject; }

  get subjectNames() { return [...this.#subjectNames]; }

  get serverStats() { return this.#serverStats; }

  // Bytes sent and not yet written to the network.
  get bytesToSend() { return this.#socket?.bufferedAmount ?? 0; }

  // Where setting active connects.
  get address() {
    if (this.url) return this.url;
    return `${this.useTls ? 'wss' : 'ws'}://${this.host}:${this.#port}${WEBSOCKET_PATH}`;
  }

  setActive(value) {
    if (Boolean(value) === this.#connected) return;
    if (value) {
      this.#connect();
      return;
    }
    this.#closing = true;
    try {
      this.#closeSocket();
      this.#myOnDisconnect();
    } finally {
      this.#closing = false;
    }
  }

  login(userId, password) {
    return this.sendMessageData(Msg.login(userId, this.#subjectCode, password));
  }

  // userText: the new user's record, as a ZorvaUser or its text form.
  loginNew(userId, userText) {
    return this.sendMessageData(Msg.loginNew(userId, this.#subjectCode, String(userText)));
  }

  joinSubject(subjectName) {
    if (subjectName === this.#currentSubject) return false;
    return this.sendMessageData(Msg.joinSubject(subjectName));
  }

  // limit: the most members; 0 for no limit.
  createSubject(subjectName, limit = 0) {
    return this.sendMessageData(Msg.createSubject(subjectName, Math.trunc(limit)));
  }

  sendChatMessage(text) { return this.sendMessageData(Msg.sendChat(text)); }

  sendDataMessage(text) { return this.sendMessageData(Msg.sendData(text)); }

  sendMessage(messageType, messageText) {
    return this.sendMessageData(Msg.custom(messageType, messageText));
  }

  sendFeedback(text) { return this.sendMessageData(Msg.feedback(text)); }

  requestUserInfo(userId) { return this.sendMessageData(Msg.userInfo(userId)); }

  requestStatistics() { return this.sendMessageData(Msg.serverStats()); }

  // Sends the current user's record; nothing before a login.
  updateUserInfo() {
    if (!this.#currentUser) return false;
    return this.sendMessageData(Msg.userUpdate(this.#currentUser.id, this.#currentUser.toString()));
  }

  getUserCount() { return this.#users.length; }

  getUser(index) {
    if (!Number.isInteger(index) || index < 0 || index >= this.#users.length) {
      throw new RangeError(`List index out of bounds (${index})`);
    }
    return this.#users[index];
  }

  findUser(userId) { return this.#users.find((user) => user.id === userId) ?? null; }

  // Empties the member list; fires nothing.
  clearUsers() {
    this.#users = [];
    ++this.#listVersion;
  }

  // The one path of every outgoing line: dropped while not connected, then encrypted, then
  // dropped if it holds a line feed (the rest would arrive as a line of its own) or would take
  // the unsent output past maxOutput. Tells whether the line went out.
  sendMessageData(line) {
    if (!this.#connected) return false;
    line = this.#fireFilter('onEncryptString', line);
    if (!this.#connected || line.includes('\n')) return false;
    const waiting = this.bytesToSend;
    if (waiting + line.length > this.maxOutput) {
      this.#fire(
          'onSendError',
          line,
          `Output queue full: ${waiting} bytes wait to be sent, the limit is ${this.maxOutput}`,
      );
      return false;
    }
    this.#socket.send(line);
    return true;
  }

  // One received line: the argument text first, the command word second. A subclass handles
  // further words and passes the rest on.
  processMessage(args, command) { ZorvaConnection.#handlers.get(command)?.(this, args); }

  #connect() {
    const WebSocketClass = this.#WebSocket ?? defaultWebSocket();
    this.#closeSocket();
    let socket;
    try {
      socket = new WebSocketClass(this.address, WEBSOCKET_PROTOCOL);
    } catch (error) {
      this.#myOnError(0, error.message);
      return;
    }
    this.#socket = socket;
    // Events of a socket this connection has let go of are not its business any more.
    const mine = (handler) => (event) => {
      if (this.#socket === socket) handler(event);
    };
    socket.onopen = mine(() => this.#myOnConnect());
    socket.onmessage = mine((event) => this.#myOnRead(event.data));
    socket.onerror = mine((event) => this.#myOnError(0, describeSocketError(event, socket.url)));
    socket.onclose = mine(() => {
      this.#socket = null;
      this.#myOnDisconnect();
    });
  }

  #closeSocket() {
    const socket = this.#socket;
    this.#socket = null;
    if (socket && socket.readyState <= 1) socket.close(1000);
  }

  #myOnConnect() {
    this.#connected = true;
    ++this.#session;
    this.#fire('onConnected');
  }

  #myOnDisconnect() {
    if (!this.#connected) return;
    this.#connected = false;
    this.#loggedIn = false;
    this.#currentSubject = '';
    ++this.#session;
    this.clearUsers();
    if (!this.#closing) this.#fire('onDisconnected');
  }

  #myOnError(code, text) {
    if (this.onSocketError) {
      this.#fire('onSocketError', code, text);
      return;
    }
    console.error(`Error Code ${code}: ${text}`);
  }

  // Every message is one line. Anything the server never sends (a binary message, a line past
  // the limit, a line feed inside) ends the connection, as an over-long line does.
  #myOnRead(data) {
    if (!this.#connected) return;
    if (typeof data !== 'string' || data.length > this.maxLineLength || data.includes('\n')) {
      this.#closeSocket();
      this.#myOnDisconnect();
      return;
    }
    this.#dispatchLine(data);
  }

  #dispatchLine(line) {
    try {
      line = this.#fireFilter('onDecryptString', line);
      this.#fire('onStringRead', line);
      const bar = line.indexOf(FIELD);
      if (bar < 0)
        this.processMessage('', line);
      else
        this.processMessage(line.slice(bar + 1), line.slice(0, bar));
    } catch (error) {
      this.#reportLineError(line, error instanceof Error ? error.message : String(error));
    }
  }

  #reportLineError(line, reason) {
    try {
      this.#fire('onLineError', line, reason);
    } catch {
      // A failing error handler must not stop the lines after this one.
    }
  }

  #fire(event, ...args) {
    const handler = this[event];
    if (handler) handler(this, ...args);
  }

  // The handler may return a replacement for the whole line.
  #fireFilter(event, line) {
    const handler = this[event];
    if (!handler) return line;
    const replaced = handler(this, line);
    return typeof replaced === 'string' ? replaced : line;
  }

  // Lists a record parsed from userText, or the own record when the ids match.
  #listUser(userText) {
    const fresh = ZorvaUser.fromString(userText);
    const user = this.#currentUser?.id === fresh.id ? this.#currentUser : fresh;
    this.#users.push(user);
    return user;
  }

  #handleLogin(args) {
    const fields = new Fields(args);
    if (fields.next() !== 'SUCCESS') {
      this.#fire('onLoginFailed', fields.rest);
      return;
    }
    // Parsed apart first: a text that does not parse leaves the old login as it was.
    const user = ZorvaUser.fromString(fields.rest);
    if (this.#currentUser) this.#users = this.#users.filter((u) => u !== this.#currentUser);
    this.#currentUser = user;
    this.#loggedIn = true;
    this.#fire('onLoginSuccess', user);
  }

  #handleSend(args) {
    const fields = new Fields(args);
    const senderId = fields.next();
    const kind = fields.next();
    if (kind === 'CHAT')
      this.#fire('onChatReceived', fields.rest, senderId);
    else if (kind === 'DATA')
      this.#fire('onDataReceived', fields.rest, senderId);
  }

  #handlePing(args) {
    this.sendMessageData(Msg.pingReply());
    const fields = new Fields(args);
    for (let userId = fields.next(); userId !== ''; userId = fields.next()) {
      const roundTrip = strToInt(fields.next(), 'RoundTrip');
      this.findUser(userId)?.recordPing(roundTrip);
    }
  }

  #handleSubjects(args) {
    // A handler may end the connection, or the listing may be replaced under it.
    const session = this.#session;
    const version = ++this.#namesVersion;
    this.#subjectNames = [];
    const fields = new Fields(args);
    for (let name = fields.next(); name !== ''; name = fields.next()) {
      this.#subjectNames.push(name);
      this.#fire('onAddSubject', name);
      if (this.#session !== session || this.#namesVersion !== version) return;
    }
  }

  #handleAddSubject(args) {
    const name = new Fields(args).next();
    this.#subjectNames.push(name);
    this.#fire('onAddSubject', name);
  }

  #handleRemoveSubject(args) {
    const name = new Fields(args).next();
    this.#fire('onRemoveSubject', name);
    const found = this.#subjectNames.indexOf(name);
    if (found >= 0) this.#subjectNames.splice(found, 1);
  }

  #handleJoinSubject(args) {
    const fields = new Fields(args);
    const name = fields.next();
    this.#currentSubject = name;
    this.clearUsers();
    // A handler that clears the list or ends the connection ends this listing.
    const version = this.#listVersion;
    this.#fire('onJoinSubject', name);
    for (;;) {
      if (this.#listVersion !== version) return;
      const userText = fields.next();
      if (userText === '') return;
      this.#fire('onAddUser', this.#listUser(userText));
    }
  }

  #handleAddGuest(args) {
    const fields = new Fields(args);
    fields.next();
    this.#fire('onAddUser', this.#listUser(fields.rest));
  }

  #handleRemoveGuest(args) {
    const user = this.findUser(args);
    if (!user) return;
    const version = this.#listVersion;
    this.#fire('onRemoveUser', user);
    if (version === this.#listVersion) this.#users = this.#users.filter((u) => u !== user);
  }

  #handleBeginSubject() { this.#fire('onBeginSubject'); }

  #handleServerStats(args) {
    const stats = new ZorvaServerStats();
    stats.fromString(new Fields(args).next());
    this.#serverStats = stats;
    this.#fire('onServerStatus', stats);
  }

  #handleUserInfo(args) {
    const userText = new Fields(args).next();
    const user = this.findUser(ZorvaUser.fromString(userText).id);
    if (!user) return;
    // Refilled in place: the text form carries no ping history, and the record keeps its own.
    user.fromString(userText);
    this.#fire('onUserInfo', user);
  }

  #handleShout(args) { this.#fire('onShout', new Fields(args).next()); }

  #handleError(args) { this.#fire('onServerError', args); }

  #handleCustom(args) {
    const fields = new Fields(args);
    const messageType = fields.next();
    this.#fire('onCustomMessage', messageType, fields.rest);
  }

  // Command word -> handler, in a Map so that a word such as "constructor" finds nothing.
  static #handlers = new Map([
    ['LOGIN', (c, args) => c.#handleLogin(args)],
    ['SEND', (c, args) => c.#handleSend(args)],
    ['PING', (c, args) => c.#handlePing(args)],
    ['SUBJECTS', (c, args) => c.#handleSubjects(args)],
    ['ADDSUBJECT', (c, args) => c.#handleAddSubject(args)],
    ['REMOVESUBJECT', (c, args) => c.#handleRemoveSubject(args)],
    ['JOINSUBJECT', (c, args) => c.#handleJoinSubject(args)],
    ['ADDGUEST', (c, args) => c.#handleAddGuest(args)],
    ['REMOVEGUEST', (c, args) => c.#handleRemoveGuest(args)],
    ['BEGINSUBJECT', (c) => c.#handleBeginSubject()],
    ['SERVERSTATS', (c, args) => c.#handleServerStats(args)],
    ['USERINFO', (c, args) => c.#handleUserInfo(args)],
    ['SHOUT', (c, args) => c.#handleShout(args)],
    ['ERROR', (c, args) => c.#handleError(args)],
    ['CUSTOM', (c, args) => c.#handleCustom(args)],
  ]);
}

// Browsers tell a page nothing about why a WebSocket failed; Node's 'ws' gives a message.
function describeSocketError(event, address) {
  return event?.message || event?.error?.message || `WebSocket error on ${address}`;
}
