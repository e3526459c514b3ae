// The web pad in headless Chromium against the real host on a real X server:
// sign-in from an invite link, the picture, a tap, typed text, the window
// list, a person taking over, and the host becoming available again.
//
// Paths come from the environment (CMake's ctest entry sets them):
//   ORVANE_SIGNAL, ORVANE_HOST, ORVANE_TEST_CLIENT, ORVANE_PERSON,
//   ORVANE_E2E_MODULES (a node_modules with playwright-core), ORVANE_CHROMIUM,
//   ORVANE_ARTIFACTS_DIR (screenshots; else ORVANE_E2E_DEFAULT_ARTIFACTS, the build's).
// Exits 77 (skipped) when something it needs is not there.

import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const SKIP = 77;
const env = process.env;
const artifacts = env.ORVANE_ARTIFACTS_DIR || env.ORVANE_E2E_DEFAULT_ARTIFACTS || join(process.cwd(), 'artifacts');
const chromiumPath = env.ORVANE_CHROMIUM || '/usr/bin/chromium';
const started = Date.now();

function skip(why) {
  console.log(`SKIP: ${why}`);
  process.exit(SKIP);
}

for (const name of ['ORVANE_SIGNAL', 'ORVANE_HOST', 'ORVANE_TEST_CLIENT', 'ORVANE_PERSON']) {
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

// --- children ----------------------------------------------------------------

const children = [];

// A child whose output lines are kept and can be waited for.
class Child {
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
    children.push(this);
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

  tail(n = 25) {
    const out = [];
    for (const stream of ['stdout', 'stderr']) {
      if (this.lines[stream].length) out.push(`--- ${this.name} ${stream}:`, ...this.lines[stream].slice(-n));
    }
    return out.join('\n');
  }
}

function killAll() {
  for (const child of [...children].reverse()) {
    if (child.process.exitCode === null && child.process.signalCode === null) child.process.kill('SIGKILL');
  }
}
process.on('exit', killAll);

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(what, ms, check) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${ms} ms waiting for ${what}`);
    await sleep(50);
  }
}

function step(text) {
  console.log(`e2e [${((Date.now() - started) / 1000).toFixed(1)} s] ${text}`);
}

// --- the desktop, the server and the host ---------------------------------------

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

async function startDesktop(dir) {
  const xvfb = new Child('Xvfb', 'Xvfb', ['-displayfd', '3', '-nolisten', 'tcp', '-noreset', '-screen', '0',
    '1920x1080x24'], { stdio: ['ignore', 'pipe', 'pipe', 'pipe'] });
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
  const display = `:${number}`;
  const desktopEnv = { ...env, DISPLAY: display, NO_AT_BRIDGE: '1' };
  writeFileSync(join(dir, 'openbox.xml'), OPENBOX_CONFIG);
  new Child('openbox', 'openbox', ['--sm-disable', '--config-file', join(dir, 'openbox.xml')], { env: desktopEnv });
  await until('the window manager', 10000, () =>
    /window id #/.test(spawnSync('xprop', ['-root', '_NET_SUPPORTING_WM_CHECK'], { env: desktopEnv }).stdout));
  return desktopEnv;
}

async function run(dir) {
  step('starting Xvfb and openbox');
  const desktopEnv = await startDesktop(dir);

  step('starting orvane-signal');
  const dataDir = join(dir, 'signal');
  // No --web-root: the server finds the page of its own source tree.
  const server = new Child('orvane-signal', env.ORVANE_SIGNAL, ['serve', '--port', '0', '--data-dir', dataDir]);
  const listening = await server.waitFor(/^listening on /, 10000);
  const serverUrl = listening.replace('listening on ', '').trim();
  const invite = () => {
    const r = spawnSync(env.ORVANE_SIGNAL, ['invite', '--user', 'e2e', '--data-dir', dataDir], { encoding: 'utf8' });
    if (r.status !== 0) throw new Error(`invite failed: ${r.stderr}`);
    return r.stdout.trim().split('\n');
  };
  const [hostInvite] = invite();
  const [, padUrl] = invite();

  step('starting the test client');
  const client = new Child('test client', env.ORVANE_TEST_CLIENT,
    ['--pattern', '--title', 'Orvane e2e', '--geometry', '800x600+300+200'], { env: desktopEnv });
  await client.waitFor(/^ready window=/, 15000);
  const geometry = () => {
    const line = client.lines.stdout.filter((l) => l.startsWith('configure ')).at(-1);
    const [, x, y, width, height] = line.match(/x=(-?\d+) y=(-?\d+) width=(\d+) height=(\d+)/).map(Number);
    return { x, y, width, height };
  };
  const win = geometry();

  step('starting orvane-host');
  mkdirSync(join(dir, 'config'));
  mkdirSync(join(dir, 'runtime'), { mode: 0o700 });
  const host = new Child('orvane-host', env.ORVANE_HOST, ['--server', serverUrl], {
    env: { ...desktopEnv, ORVANE_IDENTITY_TOKEN: hostInvite, XDG_CONFIG_HOME: join(dir, 'config'),
      XDG_RUNTIME_DIR: join(dir, 'runtime'), HOME: dir, ORVANE_LOG_LEVEL: 'debug' },
  });
  const stateLine = (state) => new RegExp(`\\[MacCoordinator\\] state → ${state}`);
  await host.waitFor(stateLine('available'), 20000, { stream: 'stderr' });

  step('opening the pad');
  browser = await chromium.launch({ executablePath: chromiumPath, args: ['--no-sandbox',
    '--autoplay-policy=no-user-gesture-required', '--disable-features=WebRtcHideLocalIpsWithMdns'] });
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, hasTouch: true });
  const page = await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  await page.goto(padUrl);
  const pad = () => page.evaluate(() => ({ ...window.orvanePad, received: window.orvanePad.received.slice() }));
  await page.waitForFunction(() => window.orvanePad?.state === 'hosts', null, { timeout: 10000 });
  if (page.url().includes('invite=')) throw new Error('the invite stayed in the address bar');
  const hostButton = page.getByRole('list', { name: 'Computers' }).getByRole('button').first();
  await hostButton.waitFor({ timeout: 10000 });
  await page.screenshot({ path: join(artifacts, 'webpad-hosts.png') });

  step('connecting');
  await hostButton.tap();
  await page.waitForFunction(() => window.orvanePad.connectMs !== null, null, { timeout: 20000 });
  const { connectMs } = await pad();
  console.log(`FIGURE web pad connect time: ${connectMs} ms (connection request → first decoded frame)`);
  await host.waitFor(stateLine('connected'), 5000, { stream: 'stderr' });

  // Desktop point → the page point that shows it, through the video's letterboxed content box.
  const screen = { width: 1920, height: 1080 };
  const toPage = (x, y) => page.evaluate(([fx, fy]) => {
    const video = document.getElementById('video');
    const box = video.getBoundingClientRect();
    const scale = Math.min(box.width / video.videoWidth, box.height / video.videoHeight);
    const w = video.videoWidth * scale;
    const h = video.videoHeight * scale;
    return { x: box.left + (box.width - w) / 2 + fx * w, y: box.top + (box.height - h) / 2 + fy * h };
  }, [x / screen.width, y / screen.height]);

  step('looking for the test pattern in the picture');
  const samples = [
    { name: 'red', at: [0.25, 0.15], rgb: [255, 0, 0] },
    { name: 'green', at: [0.75, 0.15], rgb: [0, 255, 0] },
    { name: 'blue', at: [0.25, 0.6], rgb: [0, 0, 255] },
    { name: 'white', at: [0.75, 0.6], rgb: [255, 255, 255] },
  ].map((s) => ({ ...s, fx: (win.x + s.at[0] * win.width) / screen.width,
    fy: (win.y + s.at[1] * win.height) / screen.height }));
  let seen = [];
  await until('the colour pattern in the video', 15000, async () => {
    seen = await page.evaluate((points) => {
      const video = document.getElementById('video');
      const canvas = document.createElement('canvas');
      canvas.width = video.videoWidth;
      canvas.height = video.videoHeight;
      const context = canvas.getContext('2d', { willReadFrequently: true });
      context.drawImage(video, 0, 0);
      return points.map((p) => [...context.getImageData(Math.round(p.fx * canvas.width),
        Math.round(p.fy * canvas.height), 1, 1).data.slice(0, 3)]);
    }, samples);
    return samples.every((s, i) => s.rgb.every((c, k) => Math.abs(c - seen[i][k]) <= 60));
  }).catch((error) => {
    throw new Error(`${error.message}; sampled ${JSON.stringify(seen)}`);
  });

  step('a tap on the picture clicks the desktop there');
  const target = { x: Math.round(win.x + 0.3 * win.width), y: Math.round(win.y + 0.2 * win.height) };
  let from = client.mark();
  let p = await toPage(target.x, target.y);
  await page.touchscreen.tap(p.x, p.y);
  const click = await client.waitFor(/^click button=1 /, 5000, { from });
  const [, cx, cy] = click.match(/x=(-?\d+) y=(-?\d+)/).map(Number);
  if (Math.abs(cx - target.x) > 3 || Math.abs(cy - target.y) > 3) {
    throw new Error(`tapped at ${target.x},${target.y} but the click landed at ${cx},${cy}`);
  }

  step('typing text');
  await page.getByRole('button', { name: 'Keyboard' }).tap();
  await page.waitForFunction(() => document.activeElement?.id === 'keys');
  from = client.mark();
  await page.keyboard.type('héllo €');
  await client.waitFor(/^text héllo €$/, 10000, { from });

  step('a tap on the button presses it');
  from = client.mark();
  p = await toPage(win.x + win.width / 2, win.y + win.height - 12);
  await page.touchscreen.tap(p.x, p.y);
  await client.waitFor(/^button clicked$/, 5000, { from });
  await page.screenshot({ path: join(artifacts, 'webpad-tablet-landscape.png') });

  step('the window list, and switching to a window');
  await page.getByRole('button', { name: 'Windows' }).tap();
  const entry = page.getByRole('list', { name: 'Open windows' }).getByRole('button', { name: /Orvane e2e/ });
  await entry.waitFor({ timeout: 10000 });
  await page.screenshot({ path: join(artifacts, 'webpad-windows.png') });
  from = client.mark();
  await entry.tap();
  // The host fits the frame; the client reports its inside, the title bar
  // taken off: within 5 % of the pad's 1.6, where it started at 1.33.
  const aspect = 1280 / 800;
  await until('the window fitted to the pad', 10000, () => {
    const fitted = client.lines.stdout.slice(from).filter((l) => l.startsWith('configure ')).map((l) => {
      const [, width, height] = l.match(/width=(\d+) height=(\d+)/).map(Number);
      return width / height;
    });
    return fitted.some((a) => Math.abs(a - aspect) / aspect < 0.05);
  });
  await until('windowFocused', 5000, async () => (await pad()).received.some((e) => e.type === 'windowFocused'));

  step('a person at the computer takes over');
  const person = spawnSync(env.ORVANE_PERSON, ['key', '50'], { env: desktopEnv, encoding: 'utf8' });
  if (person.status !== 0) throw new Error(`orvane-x11-person failed: ${person.stderr}`);
  await page.waitForFunction(() => window.orvanePad.localControl === true, null, { timeout: 5000 });
  await page.getByText('Local control', { exact: true }).waitFor({ timeout: 2000 });
  await page.screenshot({ path: join(artifacts, 'webpad-local-control.png') });
  const after = await geometry();
  from = client.mark();
  p = await toPage(after.x + 0.3 * after.width, after.y + 0.2 * after.height);
  await page.touchscreen.tap(p.x, p.y);
  await sleep(700);
  if (client.lines.stdout.slice(from).some((l) => l.startsWith('click '))) {
    throw new Error('a tap was injected while the person had control');
  }
  await page.waitForFunction(() => window.orvanePad.localControl === false, null, { timeout: 6000 });
  from = client.mark();
  await page.touchscreen.tap(p.x, p.y);
  await client.waitFor(/^click button=1 /, 5000, { from });

  step('phone portrait');
  await page.setViewportSize({ width: 390, height: 844 });
  await sleep(500);
  await page.screenshot({ path: join(artifacts, 'webpad-phone-portrait.png') });

  step('closing the page');
  const hostMark = host.mark('stderr');
  await page.close();
  await host.waitFor(stateLine('available'), 15000, { stream: 'stderr', from: hostMark });
  await browser.close();
  if (pageErrors.length) throw new Error(`errors in the page: ${pageErrors.join('; ')}`);
  step('done');
}

let browser = null;
const dir = mkdtempSync(join(tmpdir(), 'orvane-e2e-'));
mkdirSync(artifacts, { recursive: true });
let status = 0;
try {
  await run(dir);
} catch (error) {
  status = 1;
  console.error(`FAILED: ${error.stack || error}`);
  for (const child of children) console.error(child.tail());
} finally {
  await browser?.close().catch(() => {});
  killAll();
  await Promise.race([Promise.all(children.map((c) => c.exited)), sleep(3000)]);
  rmSync(dir, { recursive: true, force: true });
}
process.exit(status);
