// Virtual time and a scripted WebSocket for the page's modules.

export class FakeTimers {
  constructor() {
    this.time = 0;
    this.pending = new Map();
    this.nextId = 1;
  }

  setTimeout(fn, ms = 0) {
    const id = this.nextId++;
    this.pending.set(id, { at: this.time + ms, fn });
    return id;
  }

  clearTimeout(id) {
    this.pending.delete(id);
  }

  now() {
    return this.time;
  }

  // Runs every timer due within `ms`, in order of their time.
  advance(ms) {
    const end = this.time + ms;
    for (;;) {
      const due = [...this.pending.entries()].filter(([, t]) => t.at <= end).sort((a, b) => a[1].at - b[1].at)[0];
      if (!due) break;
      this.pending.delete(due[0]);
      this.time = due[1].at;
      due[1].fn();
    }
    this.time = end;
  }
}

export class FakeSocket {
  static all = [];

  constructor(url, protocols) {
    Object.assign(this, { url, protocols, readyState: 0, sent: [], closedWith: null });
    FakeSocket.all.push(this);
  }

  static get last() { return FakeSocket.all[FakeSocket.all.length - 1]; }

  send(text) { this.sent.push(JSON.parse(text)); }
  close(code) { this.closedWith = code; this.readyState = 3; }

  open() {
    this.readyState = 1;
    this.onopen?.();
  }

  receive(object) { this.onmessage?.({ data: typeof object === 'string' ? object : JSON.stringify(object) }); }

  drop() {
    this.readyState = 3;
    this.onclose?.({ code: 1006 });
  }
}
