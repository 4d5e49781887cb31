// A WebSocket stand-in that records what the client sends and lets a test play the server.
export class FakeWebSocket {
  static instances = [];

  constructor(url, protocol) {
    this.url = url;
    this.protocol = protocol;
    this.readyState = 0;
    this.bufferedAmount = 0;
    this.sent = [];
    this.onopen = this.onmessage = this.onerror = this.onclose = null;
    FakeWebSocket.instances.push(this);
  }

  static last() { return FakeWebSocket.instances.at(-1); }

  send(data) { this.sent.push(data); }

  close() { this.readyState = 3; }

  open() {
    this.readyState = 1;
    this.onopen?.({});
  }

  receive(...lines) {
    for (const data of lines) this.onmessage?.({data});
  }

  fail(message) {
    this.onerror?.({message});
    this.serverClose();
  }

  serverClose() {
    this.readyState = 3;
    this.onclose?.({code: 1006});
  }
}
