// Types of zorva.js, the Zorva client for browsers and Node.

export declare const WEBSOCKET_PATH: '/zorva';
export declare const WEBSOCKET_PROTOCOL: 'zorva.v1';
/** Day zero, 12/30/1899: a date that was never set. */
export declare const NEVER: Date;

/** Raised when a field of a record's text form is not a number or a date. */
export declare class ZorvaConvertError extends Error {
  readonly field: string;
  constructor(field: string, value: string);
}

/** Up to 32 by 32 pixels, each a 0x00BBGGRR colour, row by row. */
export declare class ZorvaGlyph {
  width: number;
  height: number;
  pixels: number[];
  constructor(width?: number, height?: number);
  pixel(x: number, y: number): number;
  setPixel(x: number, y: number, colour: number): void;
}

export declare class ZorvaUser {
  static readonly MAX_GLYPH_SIDE: 32;
  static readonly MAX_COLOUR: 0xffffff;
  static readonly PING_SLOTS: 5;

  id: string;
  /** Always empty in records from the server; set it only to register or change it. */
  password: string;
  firstName: string;
  lastName: string;
  city: string;
  country: string;
  eMail: string;
  homePage: string;
  additionalInfo: string;
  creationDate: Date;
  lastLoginDate: Date;
  loginCount: number;
  /** "tag=value" entries, in order. */
  infoTokens: string[];
  glyph: ZorvaGlyph;
  /** The last five round trips in ms, oldest first; 0 means no sample. */
  pingHistory: number[];

  /** Throws ZorvaConvertError when the text does not parse. */
  static fromString(text: string): ZorvaUser;
  getFullName(): string;
  getInfoTokenCount(): number;
  /** Throws RangeError outside 0 .. count-1. */
  getInfoTokenTag(index: number): string;
  getInfoTokenValue(index: number): string;
  /** The first token whose tag matches case-insensitively; '' when none does. */
  getInfoToken(tag: string): string;
  /** Replaces or appends; an empty value deletes. */
  setInfoToken(tag: string, value: string): void;
  recordPing(value: number): void;
  /** Average of the measured round trips in ms; 0 when there is none. */
  getConnectionQuality(): number;
  /** The text form that travels inside protocol lines. */
  toString(): string;
  /** Overwrites every field of the text form; throws ZorvaConvertError on a bad field. */
  fromString(text: string): void;
}

export declare class ZorvaServerStats {
  secondsActive: number;
  currentConnections: number;
  totalConnections: number;
  currentSubjects: number;
  totalSubjectsCreated: number;
  peakClientsConnected: number;
  bytesRead: number;
  bytesWritten: number;
  toString(): string;
  fromString(text: string): void;
  /** "2 hrs 2 mins 2 secs" */
  getTimeActiveDesc(): string;
}

export type TNotifyEvent = (sender: ZorvaConnection) => void;
export type TStringEvent = (sender: ZorvaConnection, text: string) => void;
export type TUserEvent = (sender: ZorvaConnection, user: ZorvaUser) => void;
export type TStringFromEvent = (sender: ZorvaConnection, text: string, id: string) => void;
export type TStatusEvent = (sender: ZorvaConnection, serverStats: ZorvaServerStats) => void;
export type TCustomMessageEvent = (
  sender: ZorvaConnection,
  messageType: string,
  messageText: string,
) => void;
/** Returns a replacement for the whole line, or nothing to keep it. */
export type TEncryptEvent = (sender: ZorvaConnection, message: string) => string | void;
export type TSocketErrorEvent = (sender: ZorvaConnection, code: number, text: string) => void;
export type TLineErrorEvent = (sender: ZorvaConnection, line: string, reason: string) => void;

/** The part of a WebSocket the connection uses: the browser's, or the one of the 'ws' package. */
export interface ZorvaWebSocket {
  readonly readyState: number;
  readonly bufferedAmount: number;
  readonly url: string;
  onopen: ((event: unknown) => void) | null;
  onmessage: ((event: { data: unknown }) => void) | null;
  onerror: ((event: unknown) => void) | null;
  onclose: ((event: unknown) => void) | null;
  send(data: string): void;
  close(code?: number): void;
}

export interface ZorvaConnectionOptions {
  /** The WebSocket constructor; default: the global one (browsers). */
  WebSocket?: new (url: string, protocol: string) => ZorvaWebSocket;
  /** The whole address, e.g. "wss://games.example/zorva"; used instead of host, port, useTls. */
  url?: string;
}

export declare class ZorvaConnection {
  static readonly DEFAULT_MAX_LINE_LENGTH: 65536;
  static readonly DEFAULT_MAX_OUTPUT: number;

  constructor(options?: ZorvaConnectionOptions);

  /** True once connected; setting true connects, false closes without onDisconnected. */
  active: boolean;
  host: string;
  /** Ignored while active. */
  port: number;
  /** Ignored while active. */
  subjectCode: string;
  url: string;
  /** wss:// instead of ws:// when no url is given. */
  useTls: boolean;
  /** A longer received line ends the connection. */
  maxLineLength: number;
  /** A line that would take the unsent output past this is not sent (onSendError). */
  maxOutput: number;
  readonly loggedIn: boolean;
  readonly currentUser: ZorvaUser | null;
  readonly currentSubject: string;
  /** A copy of the subject names of the client's code. */
  readonly subjectNames: string[];
  readonly serverStats: ZorvaServerStats;
  readonly bytesToSend: number;
  /** Where setting active connects. */
  readonly address: string;

  setActive(value: boolean): void;

  // Requests: each sends one line, or nothing while not connected, and tells whether it went.
  login(userId: string, password: string): boolean;
  loginNew(userId: string, userText: string | ZorvaUser): boolean;
  /** Nothing when already in that subject. */
  joinSubject(subjectName: string): boolean;
  /** limit 0: no limit. */
  createSubject(subjectName: string, limit?: number): boolean;
  sendChatMessage(text: string): boolean;
  sendDataMessage(text: string): boolean;
  sendMessage(messageType: string, messageText: string): boolean;
  sendFeedback(text: string): boolean;
  requestUserInfo(userId: string): boolean;
  requestStatistics(): boolean;
  /** Sends currentUser; nothing before a login. */
  updateUserInfo(): boolean;

  getUserCount(): number;
  /** Throws RangeError outside 0 .. count-1. */
  getUser(index: number): ZorvaUser;
  findUser(userId: string): ZorvaUser | null;
  clearUsers(): void;

  /** The one path of every outgoing line. */
  sendMessageData(line: string): boolean;
  /** Called once per received line; a subclass may handle further command words. */
  processMessage(args: string, command: string): void;

  onAddSubject: TStringEvent | null;
  onAddUser: TUserEvent | null;
  onBeginSubject: TNotifyEvent | null;
  onChatReceived: TStringFromEvent | null;
  onConnected: TNotifyEvent | null;
  onCustomMessage: TCustomMessageEvent | null;
  onDataReceived: TStringFromEvent | null;
  onDecryptString: TEncryptEvent | null;
  onDisconnected: TNotifyEvent | null;
  onEncryptString: TEncryptEvent | null;
  onJoinSubject: TStringEvent | null;
  onLoginFailed: TStringEvent | null;
  onLoginSuccess: TUserEvent | null;
  onRemoveSubject: TStringEvent | null;
  onRemoveUser: TUserEvent | null;
  onServerError: TStringEvent | null;
  onServerStatus: TStatusEvent | null;
  onShout: TStringEvent | null;
  onStringRead: TStringEvent | null;
  onUserInfo: TUserEvent | null;
  /** Unassigned: "Error Code N: text" goes to console.error. */
  onSocketError: TSocketErrorEvent | null;
  onLineError: TLineErrorEvent | null;
  onSendError: TLineErrorEvent | null;
}
