// Glass-to-glass latency: how long a pixel drawn on the host's screen takes to
// reach the picture in the browser, for orvane-host and, in the same run on
// the same machine, for a plain GStreamer reference pipeline.
//
//   node bench/latency/run.js [--sizes 1920x1080,1280x800] [--seconds 15] [--variants reference,orvane]
//                             [--motions code,taps,full] [--static-seconds 5] [--short] [--out DIR] [--build DIR]
//
// On a private Xvfb of each size, orvane-latency-clock draws its clock (time
// and frame number as black and white cells) at 60 Hz at the top-left; the
// web pad opened with ?bench=latency reads it back from every frame it
// presents (requestVideoFrameCallback) with the browser's own timing of that
// frame. Per variant and motion (see MOTIONS) it takes, after a warm-up:
//   draw → shown (p50/p95/p99: to the page's callback for the frame, see
//   stages()), the browser's own estimate of draw → glass (p50), and the
//   split: host+network (draw → last packet received), to page (received →
//   shown, less decoding: the jitter buffer and the wait for the page's
//   frame), decode; draws read per second; the bitrate; the host's CPU (a
//   core = 100 %);
// and the host's CPU on a still screen (the clock paused).
// Variants: "orvane" is orvane-host as shipped, with the pad's lowest playout
// delay; "reference" is the same host process sending a plain
// ximagesrc ! videoconvert ! x264enc tune=zerolatency speed-preset=ultrafast !
// rtph264pay chain instead (ORVANE_BENCH_VIDEO=reference), seen with the
// browser's default playout delay; "orvane-default-delay" is ours without the
// playout-delay extension and with the browser's default delay;
// "orvane-pad" is orvane-host to the command-line pad (draw → decoded).
// Prints a line per measurement ("LATENCY ..."), then a table; --out DIR also
// gets latency.json and latency.png (the distributions). --short: 1280x720,
// orvane only, a few seconds, and it fails unless codes were read.
//
// Programs: ORVANE_SIGNAL, ORVANE_HOST, ORVANE_LATENCY_CLOCK, ORVANE_PAD, ORVANE_E2E_MODULES
// (else from the build directory: --build, ORVANE_BUILD_DIR or <repo>/build).

import { existsSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';
import { hostState, requireTools, runWithHarness, sleep } from '../../tests/e2e/harness.js';

const { values: options } = parseArgs({
  options: {
    sizes: { type: 'string', default: '1920x1080,1280x800' },
    seconds: { type: 'string', default: '15' },
    warmup: { type: 'string', default: '3' },
    'static-seconds': { type: 'string', default: '5' },
    variants: { type: 'string', default: 'reference,orvane' },
    motions: { type: 'string', default: 'code,taps,full' },
    short: { type: 'boolean', default: false },
    out: { type: 'string' },
    build: { type: 'string' },
  },
});
if (options.short) {
  Object.assign(options, { sizes: '1280x720', seconds: '3', warmup: '1', 'static-seconds': '0', variants: 'orvane',
    motions: 'code' });
}
const sizes = options.sizes.split(',').map((s) => {
  const m = /^(\d+)x(\d+)$/.exec(s);
  if (!m) throw new Error(`bad size ${s}`);
  return { width: Number(m[1]), height: Number(m[2]) };
});
const seconds = Number(options.seconds);
const warmup = Number(options.warmup);
const staticSeconds = Number(options['static-seconds']);
const variants = options.variants.split(',');
const motions = options.motions.split(',');
// What each variant sets on the host and asks of the page.
const VARIANTS = {
  reference: { env: { ORVANE_BENCH_VIDEO: 'reference' }, query: '?bench=latency&delay=default' },
  orvane: { env: {}, query: '?bench=latency' },
  'orvane-pad': { padTool: true },  // orvane-host to orvane-pad, no browser
  // Ours with the browser's default playout delay: what the receiver cuts save.
  'orvane-default-delay': { env: { ORVANE_BENCH_VIDEO: 'no-playout-delay' }, query: '?bench=latency&delay=default' },
};
for (const v of variants) if (!VARIANTS[v]) throw new Error(`unknown variant ${v}`);
// The clock's arguments per motion. Its draws come at random moments of each
// period: a clock in step with the capture would be seen at one point of it.
const MOTIONS = {
  code: ['--motion', 'none'],                 // the clock alone, 60 times a second
  taps: ['--motion', 'none', '--rate', '4'],  // a change now and then, as a click's result
  full: ['--motion', 'full'],                 // a scrolling picture fills the screen under it
};
for (const m of motions) if (!MOTIONS[m]) throw new Error(`unknown motion ${m}`);

const repo = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
const build = resolve(options.build || process.env.ORVANE_BUILD_DIR || join(repo, 'build'));
process.env.ORVANE_SIGNAL ||= join(build, 'bin', 'orvane-signal');
process.env.ORVANE_HOST ||= join(build, 'bin', 'orvane-host');
process.env.ORVANE_LATENCY_CLOCK ||= [join(build, 'bin', 'orvane-latency-clock'),
  join(build, 'bench', 'latency', 'orvane-latency-clock')].find(existsSync) ?? join(build, 'bin', 'orvane-latency-clock');
process.env.ORVANE_PAD ||= join(build, 'bin', 'orvane-pad');
process.env.ORVANE_E2E_MODULES ||= join(build, 'tests', 'e2e', 'node', 'node_modules');
const chromium = requireTools(['ORVANE_SIGNAL', 'ORVANE_HOST', 'ORVANE_LATENCY_CLOCK']);

const CLOCK_TICKS = 100;  // /proc's USER_HZ on Linux

// Nearest rank.
function percentile(values, p) {
  if (!values.length) return null;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.max(0, Math.ceil(p * sorted.length) - 1)];
}

function cpuSeconds(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ');
  return (Number(fields[11]) + Number(fields[12])) / CLOCK_TICKS;  // utime + stime
}

async function cpuPercent(pid, ms) {
  const before = cpuSeconds(pid);
  const start = Date.now();
  await sleep(ms);
  return (100 * (cpuSeconds(pid) - before)) / ((Date.now() - start) / 1000);
}

// One frame's stages; null parts where the browser did not say. "shown" ends
// at the page's video-frame callback for the frame (then read back), the one
// moment that means the same in Chromium's normal and low-latency renderers:
// their expectedDisplayTime differs in meaning (the normal path reports it
// before the callback even runs), so "glass" is only the browser's estimate.
function stages(s) {
  const part = (a, b) => (a === null || b === null ? null : a - b);
  return {
    shown: part(s.readMs, s.drawMs),
    glass: part(s.displayMs, s.drawMs),
    hostNet: part(s.receiveMs, s.drawMs),
    toPage: s.receiveMs === null ? null : s.readMs - s.receiveMs - (s.decodeMs ?? 0),
    decode: s.decodeMs,
  };
}

function summarize(taken, cpu) {
  const rows = taken.samples.map(stages);
  const of = (key) => rows.map((r) => r[key]).filter((v) => v !== null);
  const total = of('shown');
  const p50 = (key) => percentile(of(key), 0.5);
  const elapsed = (taken.at - taken.since.at) / 1000;
  const bytes = (taken.stats?.bytesReceived ?? 0) - (taken.since.stats?.bytesReceived ?? 0);
  return {
    frames: taken.samples.length,
    missed: taken.missed,
    fps: taken.samples.length / elapsed,
    p50: percentile(total, 0.5),
    p95: percentile(total, 0.95),
    p99: percentile(total, 0.99),
    glass: p50('glass'),
    hostNet: p50('hostNet'),
    toPage: p50('toPage'),
    decode: p50('decode'),
    mbps: (8 * bytes) / elapsed / 1e6,
    hostCpu: cpu,
    totals: total,
  };
}

const fixed = (v, digits = 1) => (v === null || v === undefined || Number.isNaN(v) ? '-' : v.toFixed(digits));

function line(r) {
  return `LATENCY ${r.size} ${r.variant} motion=${r.motion} frames=${r.frames} missed=${r.missed} ` +
    `draws/s=${fixed(r.fps)} p50=${fixed(r.p50)} p95=${fixed(r.p95)} p99=${fixed(r.p99)} glass=${fixed(r.glass)} ms; ` +
    `host+net=${fixed(r.hostNet)} to-page=${fixed(r.toPage)} decode=${fixed(r.decode)} ms; ` +
    `${fixed(r.mbps, 2)} Mbit/s; host CPU ${fixed(r.hostCpu, 0)} %`;
}

async function measureVariant(harness, { size, serverUrl, hostToken, invite, clock, browser, variant }) {
  const [, padUrl] = invite();  // an invite signs in once; each variant has a fresh browser context
  const host = await harness.startHost(serverUrl, hostToken, `orvane-host (${variant})`, VARIANTS[variant].env);
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  const results = [];
  try {
    const page = await context.newPage();
    await page.goto(padUrl.replace('/#', `/${VARIANTS[variant].query}#`));
    await page.waitForFunction(() => window.orvanePad?.state === 'hosts', null, { timeout: 15000 });
    const hostButton = page.getByRole('list', { name: 'Computers' }).getByRole('button').first();
    await hostButton.waitFor({ timeout: 15000 });
    const connectMark = host.mark('stderr');
    await hostButton.click();
    await page.waitForFunction(() => window.orvanePad.connectMs !== null && window.orvanePad.bench, null,
      { timeout: 25000 });
    await host.waitFor(hostState('connected'), 5000, { stream: 'stderr', from: connectMark });
    const connectMs = await page.evaluate(() => window.orvanePad.connectMs);
    console.log(`${size.label} ${variant}: connected, first frame after ${connectMs} ms`);

    const pid = host.process.pid;
    for (const motion of motions) {
      clock.setMotion(motion);
      await sleep(warmup * 1000);
      await page.evaluate(() => window.orvanePad.bench.clear());
      const cpu = await cpuPercent(pid, seconds * 1000);
      const taken = await page.evaluate(() => window.orvanePad.bench.take());
      const result = { size: size.label, variant, motion, connectMs, ...summarize(taken, cpu) };
      console.log(line(result));
      results.push(result);
    }
    if (staticSeconds > 0) {
      clock.pause();
      await sleep(1500);  // the last changes drain; the once-a-second refresh stays
      const cpu = await cpuPercent(pid, staticSeconds * 1000);
      clock.resume();
      console.log(`LATENCY ${size.label} ${variant} static screen: host CPU ${fixed(cpu, 1)} %`);
      for (const r of results) r.staticCpu = cpu;
    }
    await page.getByRole('button', { name: 'Disconnect' }).click();
  } finally {
    await context.close();
    await host.stop();
  }
  return results;
}

// orvane-pad, the command-line pad, in place of the browser: its own reader
// times each decoded frame against the clock (no display step).
async function measurePadTool(harness, { size, serverUrl, hostToken, invite, clock }) {
  const [padInvite] = invite();
  const deviceId = 'orvane-pad-bench';
  const sessionToken = await harness.signInPad(serverUrl, padInvite, deviceId);
  const common = ['--server', serverUrl.replace(/^http/, 'ws'), '--token', sessionToken, '--device-id', deviceId,
    '--ice-server', 'none'];
  const host = await harness.startHost(serverUrl, hostToken, 'orvane-host (orvane-pad)');
  const results = [];
  try {
    const list = harness.spawn('orvane-pad list', process.env.ORVANE_PAD, [...common, 'list']);
    const hostId = (await list.waitFor(/\t/, 15000)).split('\t')[0];
    for (const motion of motions) {
      await clock.setMotion(motion);
      await sleep(1000);
      const mark = host.mark('stderr');
      const before = cpuSeconds(host.process.pid);
      const started = Date.now();
      const pad = harness.spawn(`orvane-pad (${motion})`, process.env.ORVANE_PAD,
        [...common, 'connect', hostId, '--latency', String(seconds + warmup)], { stdio: ['pipe', 'pipe', 'pipe'] });
      const report = await pad.waitFor(/^latency /, (seconds + warmup + 30) * 1000);
      const cpu = (100 * (cpuSeconds(host.process.pid) - before)) / ((Date.now() - started) / 1000);
      const figure = (name) => {
        const m = new RegExp(`${name}=([\\d.]+)`).exec(report);
        return m ? Number(m[1]) : null;
      };
      const result = { size: size.label, variant: 'orvane-pad', motion, connectMs: null, frames: figure('frames'),
        missed: figure('missed'), fps: null, p50: figure('p50'), p95: figure('p95'), p99: figure('p99'),
        glass: null, hostNet: null, toPage: null, decode: null, mbps: null, hostCpu: cpu, totals: [] };
      console.log(line(result));
      results.push(result);
      await pad.stop();
      const connected = await host.waitFor(hostState('connected'), 1000, { stream: 'stderr', from: mark });
      await host.waitFor(hostState('available'), 30000,
        { stream: 'stderr', from: host.lines.stderr.indexOf(connected, mark) });
    }
  } finally {
    await host.stop();
  }
  return results;
}

// The drawing client; --motion is chosen at its start, so a change restarts it.
function clockControl(harness, env) {
  let child = null;
  let motion = null;
  return {
    async start(wanted) {
      if (child && motion === wanted) return;
      await child?.stop();
      motion = wanted;
      child = harness.spawn(`clock (${wanted})`, process.env.ORVANE_LATENCY_CLOCK, MOTIONS[wanted], { env });
      await child.waitFor(/^clock ready/, 10000);
    },
    setMotion(wanted) { return this.start(wanted); },
    pause() { child?.process.kill('SIGSTOP'); },
    resume() { child?.process.kill('SIGCONT'); },
    stop() { return child?.stop(); },
  };
}

// One panel per size; colour by variant, dash by motion.
async function plot(browser, results, file) {
  const shown = results.filter((r) => r.totals.length);
  const panels = [...new Set(shown.map((r) => r.size))];
  const W = 900, PANEL = 330;
  const page = await browser.newPage({ viewport: { width: W, height: PANEL * panels.length } });
  await page.setContent(`<canvas id="c" width="${W}" height="${PANEL * panels.length}"></canvas>`);
  await page.evaluate(({ all, panels, W, PANEL }) => {
    const c = document.getElementById('c').getContext('2d');
    const colors = { reference: '#c0392b', orvane: '#2471a3', 'orvane-default-delay': '#95a5a6' };
    const dashes = { code: [], taps: [8, 5], full: [2, 4] };
    const L = 60, R = 20, T = 30, B = 42;
    const maxMs = Math.min(200, Math.max(60, ...all.flatMap((s) => s.values)) * 1.05);
    c.fillStyle = '#fff';
    c.fillRect(0, 0, W, PANEL * panels.length);
    panels.forEach((size, p) => {
      const top = p * PANEL, H = PANEL;
      const x = (ms) => L + ((W - L - R) * Math.min(ms, maxMs)) / maxMs;
      const y = (q) => top + H - B - (H - T - B) * q;
      c.setLineDash([]);
      c.font = '13px sans-serif';
      c.fillStyle = '#222';
      c.fillText(`${size}: draw on the host → shown in the page, share of draws at or below`, L, top + 18);
      c.strokeStyle = '#ddd';
      c.lineWidth = 1;
      for (let ms = 0; ms <= maxMs; ms += 20) {
        c.beginPath(); c.moveTo(x(ms), y(0)); c.lineTo(x(ms), y(1)); c.stroke();
        c.fillText(String(ms), x(ms) - 8, y(0) + 16);
      }
      for (let q = 0; q <= 1; q += 0.5) {
        c.beginPath(); c.moveTo(L, y(q)); c.lineTo(W - R, y(q)); c.stroke();
        c.fillText(`${q * 100}%`, 18, y(q) + 4);
      }
      c.fillText('ms', W - R - 20, y(0) + 32);
      all.filter((s) => s.size === size).forEach((s, i) => {
        const v = [...s.values].sort((a, b) => a - b);
        c.strokeStyle = colors[s.variant] ?? '#7d3c98';
        c.setLineDash(dashes[s.motion] ?? []);
        c.lineWidth = 2;
        c.beginPath();
        c.moveTo(x(v[0]), y(0));
        v.forEach((ms, k) => c.lineTo(x(ms), y((k + 1) / v.length)));
        c.stroke();
        c.beginPath();
        c.moveTo(W - R - 250, top + T + 12 + 16 * i);
        c.lineTo(W - R - 215, top + T + 12 + 16 * i);
        c.stroke();
        c.fillText(`${s.variant}, ${s.motion}`, W - R - 205, top + T + 16 + 16 * i);
      });
    });
  }, { all: shown.map((r) => ({ size: r.size, variant: r.variant, motion: r.motion, values: r.totals })), panels, W,
    PANEL });
  await page.screenshot({ path: file });
  await page.close();
}

function table(results) {
  const head = ['size', 'variant', 'motion', 'p50', 'p95', 'p99', 'glass p50', 'host+net', 'to page', 'decode', 'draws/s',
    'Mbit/s', 'CPU %', 'still CPU %', 'connect'];
  const rows = results.map((r) => [r.size, r.variant, r.motion, fixed(r.p50), fixed(r.p95), fixed(r.p99),
    fixed(r.glass), fixed(r.hostNet), fixed(r.toPage), fixed(r.decode), fixed(r.fps), fixed(r.mbps, 2),
    fixed(r.hostCpu, 0), fixed(r.staticCpu, 1), `${r.connectMs} ms`]);
  const widths = head.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
  const format = (r) => `| ${r.map((c, i) => c.padEnd(widths[i])).join(' | ')} |`;
  return [format(head), `|${widths.map((w) => '-'.repeat(w + 2)).join('|')}|`, ...rows.map(format)].join('\n');
}

function ratios(results) {
  const out = [];
  for (const r of results.filter((x) => x.variant === 'orvane')) {
    const ref = results.find((x) => x.variant === 'reference' && x.size === r.size && x.motion === r.motion);
    if (ref?.p50) out.push(`RATIO ${r.size} motion=${r.motion}: orvane p50 / reference p50 = ${fixed(r.p50 / ref.p50, 2)}`);
  }
  return out;
}

async function bench(harness) {
  try {
    await measureAll(harness);
  } finally {
    if (options.out) harness.saveLogs(join(resolve(options.out), 'logs'));
  }
}

async function measureAll(harness) {
  const browser = await harness.launchBrowser(chromium);
  const results = [];
  for (const size of sizes) {
    size.label = `${size.width}x${size.height}`;
    const env = await harness.startDesktop(size);
    const { url: serverUrl, invite } = await harness.startServer();
    const [hostToken] = invite();
    const clock = clockControl(harness, env);
    await clock.start(motions[0]);
    for (const variant of variants) {
      const measure = VARIANTS[variant].padTool ? measurePadTool : measureVariant;
      results.push(...await measure(harness, { size, serverUrl, hostToken, invite, clock, browser, variant }));
    }
    await clock.stop();
  }
  console.log(table(results));
  for (const r of ratios(results)) console.log(r);
  if (options.out) {
    const out = resolve(options.out);
    mkdirSync(out, { recursive: true });
    writeFileSync(join(out, 'latency.json'), JSON.stringify(results, null, 2));
    await plot(browser, results, join(out, 'latency.png'));
    console.log(`wrote ${join(out, 'latency.json')} and ${join(out, 'latency.png')}`);
  }
  const unread = results.filter((r) => r.frames === 0);
  if (unread.length) throw new Error(`no clock codes read in ${unread.map((r) => `${r.size} ${r.variant}`).join(', ')}`);
}

await runWithHarness('orvane-latency-', bench);
