// What the browser test and the connect benchmark share: child processes whose
// output can be waited for, a private X desktop, the signalling server with its
// invites, the host, and headless Chromium.
//
// Paths come from the environment: ORVANE_SIGNAL, ORVANE_HOST, ORVANE_TEST_CLIENT,
// ORVANE_PERSON, ORVANE_E2E_MODULES (a node_modules with playwright-core),
// ORVANE_CHROMIUM. Something missing skips: exit code 77.

import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const SKIP = 77;
const env = process.env;
const chromiumPath = env.ORVANE_CHROMIUM || '/usr/bin/chromium';

export function skip(why) {
  console.log(`SKIP: ${why}`);
  process.exit(SKIP);
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export async function until(what, ms, check) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${ms} ms waiting for ${what}`);
    await sleep(50);
  }
}

// Skips unless the programs named by these variables, Xvfb, openbox, Chromium and
// playwright-core are all there; returns playwright's chromium launcher.
export function requireTools(variables) {
  for (const name of variables) {
    if (!env[name]) skip(`${name} is not set`);
    if (!existsSync(env[name])) skip(`${env[name]} is not built`);
  }
  let chromium;
  try {
    ({ chromium } = createRequire(join(env.ORVANE_E2E_MODULES || join(process.cwd(), 'node_modules'), '/'))(
      'playwright-core'));
  } catch (error) {
    skip(`playwright-core is not installed (${error.message.split('\n')[0]}); run npm ci in tests/e2e`);
  }
  for (const tool of ['Xvfb', 'openbox', chromiumPath]) {
    if (spawnSync('sh', ['-c', `command -v "${tool}"`]).status !== 0) skip(`${tool} is not installed`);
  }
  return chromium;
}

// A child whose output lines are kept and can be waited for.
export class Child {
  constructor(name, command, args, options = {}) {
    this.name = name;
    this.lines = { stdout: [], stderr: [] };
    this.waiters = [];
    this.process = spawn(command, args, { stdio: options.stdio ?? ['ignore', 'pipe', 'pipe'], env: options.env ?? env });
    this.exited = new Promise((resolve) => this.process.on('exit', (code, signal) => resolve(code ?? signal)));
    this.process.on('error', (error) => this.add('stderr', `spawn failed: ${error.message}`));
    for (const stream of ['stdout', 'stderr']) {
      let partial = '';
      this.process[stream]?.on('data', (chunk) => {
        partial += chunk.toString('utf8');
        const parts = partial.split('\n');
        partial = parts.pop();
        for (const line of parts) this.add(stream, line);
      });
    }
  }

  add(stream, line) {
    this.lines[stream].push(line);
    for (const w of [...this.waiters]) w.check();
  }

  // The first line (from `from` on) that matches, within `ms`.
  waitFor(pattern, ms, { stream = 'stdout', from = 0 } = {}) {
    return new Promise((resolve, reject) => {
      const waiter = {
        check: () => {
          const index = this.lines[stream].findIndex((l, i) => i >= from && pattern.test(l));
          if (index < 0) return;
          clearTimeout(timer);
          this.waiters.splice(this.waiters.indexOf(waiter), 1);
          resolve(this.lines[stream][index]);
        },
      };
      const timer = setTimeout(() => {
        this.waiters.splice(this.waiters.indexOf(waiter), 1);
        reject(new Error(`${this.name}: no ${stream} line matching ${pattern} within ${ms} ms`));
      }, ms);
      this.waiters.push(waiter);
      waiter.check();
    });
  }

  mark(stream = 'stdout') { return this.lines[stream].length; }

  running() { return this.process.exitCode === null && this.process.signalCode === null; }

  // SIGTERM, then SIGKILL if it has not gone within `ms`.
  async stop(ms = 5000) {
    if (!this.running()) return;
    this.process.kill('SIGTERM');
    if (await Promise.race([this.exited.then(() => true), sleep(ms).then(() => false)])) return;
    this.process.kill('SIGKILL');
    await this.exited;
  }

  tail(n = 25) {
    const out = [];
    for (const stream of ['stdout', 'stderr']) {
      if (this.lines[stream].length) out.push(`--- ${this.name} ${stream}:`, ...this.lines[stream].slice(-n));
    }
    return out.join('\n');
  }
}

// The host's "[MacCoordinator] state → <state>" log line.
export const hostState = (state) => new RegExp(`\\[MacCoordinator\\] state → ${state}`);

const OPENBOX_CONFIG = `<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <placement><policy>Smart</policy></placement>
  <keyboard/>
  <mouse><context name="Client">
    <mousebind button="Left" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
  </context></mouse>
</openbox_config>
`;

// One run's processes, browser and scratch directory; everything goes in close().
export class Harness {
  constructor(prefix) {
    this.dir = mkdtempSync(join(tmpdir(), prefix));
    this.children = [];
    this.browser = null;
    this.desktopEnv = null;
  }

  spawn(name, command, args, options) {
    const child = new Child(name, command, args, options);
    this.children.push(child);
    return child;
  }

  // Xvfb (1920×1080 unless told) and openbox; returns the environment that reaches them.
  async startDesktop({ width = 1920, height = 1080 } = {}) {
    const xvfb = this.spawn('Xvfb', 'Xvfb', ['-displayfd', '3', '-nolisten', 'tcp', '-noreset', '-screen', '0',
      `${width}x${height}x24`], { stdio: ['ignore', 'pipe', 'pipe', 'pipe'] });
    const number = await new Promise((resolve, reject) => {
      let text = '';
      const timer = setTimeout(() => reject(new Error('Xvfb did not report its display')), 10000);
      xvfb.process.stdio[3].on('data', (chunk) => {
        text += chunk;
        if (text.includes('\n')) {
          clearTimeout(timer);
          resolve(text.trim());
        }
      });
    });
    this.desktopEnv = { ...env, DISPLAY: `:${number}`, NO_AT_BRIDGE: '1' };
    writeFileSync(join(this.dir, 'openbox.xml'), OPENBOX_CONFIG);
    this.spawn('openbox', 'openbox', ['--sm-disable', '--config-file', join(this.dir, 'openbox.xml')],
      { env: this.desktopEnv });
    await until('the window manager', 10000, () =>
      /window id #/.test(spawnSync('xprop', ['-root', '_NET_SUPPORTING_WM_CHECK'], { env: this.desktopEnv }).stdout));
    return this.desktopEnv;
  }

  // orvane-signal on a free port; invite() gives [token, pad URL] for user "e2e".
  async startServer({ bind = '127.0.0.1' } = {}) {
    const dataDir = join(this.dir, 'signal');
    // No --web-root: the server finds the page of its own source tree.
    const server = this.spawn('orvane-signal', env.ORVANE_SIGNAL,
      ['serve', '--bind', bind, '--port', '0', '--data-dir', dataDir]);
    const listening = await server.waitFor(/^listening on /, 10000);
    const invite = () => {
      const r = spawnSync(env.ORVANE_SIGNAL, ['invite', '--user', 'e2e', '--data-dir', dataDir], { encoding: 'utf8' });
      if (r.status !== 0) throw new Error(`invite failed: ${r.stderr}`);
      return r.stdout.trim().split('\n');
    };
    return { server, url: listening.replace('listening on ', '').trim(), invite };
  }

  // A session token for a command-line pad: an invite exchanged at `serverUrl`.
  async signInPad(serverUrl, invite, deviceId) {
    const response = await fetch(`${serverUrl}/v1/auth/apple`, {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ appleIdentityToken: invite, deviceId, role: 'pad', deviceName: deviceId }),
    });
    if (!response.ok) throw new Error(`the pad's sign-in was refused (HTTP ${response.status})`);
    return (await response.json()).sessionToken;
  }

  // Every child's output, a file each, in `dir`.
  saveLogs(dir) {
    mkdirSync(dir, { recursive: true });
    this.children.forEach((c, i) => writeFileSync(join(dir, `${i}-${c.name.replace(/\W+/g, '-')}.log`),
      [...c.lines.stdout, ...c.lines.stderr].join('\n')));
  }

  // orvane-host with debug logging, its configuration under the run's directory
  // (so a host started again keeps its device and session); resolves once available.
  async startHost(serverUrl, token, name = 'orvane-host', extraEnv = {}) {
    const home = join(this.dir, 'host');
    for (const sub of ['config', 'runtime']) mkdirSync(join(home, sub), { recursive: true, mode: 0o700 });
    const host = this.spawn(name, env.ORVANE_HOST, ['--server', serverUrl], {
      env: { ...this.desktopEnv, ORVANE_IDENTITY_TOKEN: token, XDG_CONFIG_HOME: join(home, 'config'),
        XDG_RUNTIME_DIR: join(home, 'runtime'), HOME: home, ORVANE_LOG_LEVEL: 'debug', ...extraEnv },
    });
    await host.waitFor(hostState('available'), 20000, { stream: 'stderr' });
    return host;
  }

  async launchBrowser(chromium) {
    this.browser = await chromium.launch({ executablePath: chromiumPath, args: ['--no-sandbox',
      '--autoplay-policy=no-user-gesture-required', '--disable-features=WebRtcHideLocalIpsWithMdns'] });
    return this.browser;
  }

  async close() {
    await this.browser?.close().catch(() => {});
    for (const child of [...this.children].reverse()) {
      if (child.running()) child.process.kill('SIGKILL');
    }
    await Promise.race([Promise.all(this.children.map((c) => c.exited)), sleep(3000)]);
    rmSync(this.dir, { recursive: true, force: true });
  }
}

// Runs `body` with a fresh harness, prints the children's last lines when it
// throws, always cleans up, and exits 0 or 1.
export async function runWithHarness(prefix, body) {
  const harness = new Harness(prefix);
  if (env.ORVANE_E2E_LOGS) process.on('exit', () => harness.saveLogs(env.ORVANE_E2E_LOGS));
  process.on('exit', () => {
    for (const child of harness.children) if (child.running()) child.process.kill('SIGKILL');
  });
  let status = 0;
  try {
    await body(harness);
  } catch (error) {
    status = 1;
    console.error(`FAILED: ${error.stack || error}`);
    for (const child of harness.children) console.error(child.tail());
  } finally {
    await harness.close();
  }
  process.exit(status);
}
