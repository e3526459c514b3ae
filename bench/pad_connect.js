// How long the web pad takes to show the desktop: headless Chromium connects
// the pad page to a freshly started orvane-host on a private Xvfb, through
// orvane-signal, again and again.
//
//   node bench/pad_connect.js [--runs N] [--starts M] [--end disconnect|close] [--hold-ms T]
//                             [--build DIR] [--log-dir DIR]
//
// Each of the M host starts (default 1) is followed by N connections (default
// 10). The first connection after a start is "cold" (GStreamer loads its
// plugins on first use, or the host's warm-up is still loading them: such a
// connection is marked "during warm-up"), the others "warm". Per connection it takes
//   - pad: connection request → first decoded frame, the page's own figure
//     (window.orvanePad.connectMs, from requestVideoFrameCallback);
//   - host: the host's connect timer (its "[timing] ... connect=<n>ms" line:
//     connection request → ICE connected);
//   - back to available: ending the session (the Disconnect button, or closing
//     the page with --end close) → the host's "state → available" line, and the
//     host log line that ended it.
// Each session is held T ms (default 2000) before it ends: a pad that leaves
// before its first RTCP report leaves the host "connected" for a minute or more,
// and the next connection would wait for that.
// It prints p50, p90 and max per figure (nearest rank) and judges the goal of
// 1000 ms on the p90 of the connect figures.
//
// Programs come from ORVANE_SIGNAL, ORVANE_HOST, ORVANE_E2E_MODULES (else from
// the build directory: --build, ORVANE_BUILD_DIR, or <repo>/build; the node
// modules are the ones the WebPadE2E.install test puts there). The host's
// and the server's logs go to --log-dir when given. Figures depend on the
// build type: measure a RelWithDebInfo or Release host on a quiet machine.

import { mkdirSync, writeFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';
import { hostState, requireTools, runWithHarness, sleep } from '../tests/e2e/harness.js';

const GOAL_MS = 1000;
const CONNECT_TIMEOUT_MS = 25000;
const AVAILABLE_TIMEOUT_MS = 60000;

const { values: options } = parseArgs({
  options: {
    runs: { type: 'string', default: '10' },
    starts: { type: 'string', default: '1' },
    end: { type: 'string', default: 'disconnect' },
    'hold-ms': { type: 'string', default: '2000' },
    build: { type: 'string' },
    'log-dir': { type: 'string' },
  },
});
const runs = Number(options.runs);
const starts = Number(options.starts);
const holdMs = Number(options['hold-ms']);
if (!Number.isInteger(runs) || runs < 1 || !Number.isInteger(starts) || starts < 1 || !(holdMs >= 0)) {
  console.error('--runs and --starts take a whole number from 1 on, --hold-ms one from 0 on');
  process.exit(2);
}
if (!['disconnect', 'close'].includes(options.end)) {
  console.error('--end is disconnect or close');
  process.exit(2);
}

const repo = resolve(dirname(fileURLToPath(import.meta.url)), '..');
const build = resolve(options.build || process.env.ORVANE_BUILD_DIR || join(repo, 'build'));
process.env.ORVANE_SIGNAL ||= join(build, 'bin', 'orvane-signal');
process.env.ORVANE_HOST ||= join(build, 'bin', 'orvane-host');
process.env.ORVANE_E2E_MODULES ||= join(build, 'tests', 'e2e', 'node', 'node_modules');
const chromium = requireTools(['ORVANE_SIGNAL', 'ORVANE_HOST']);

const endedBy = options.end === 'close' ? 'closing the page' : 'Disconnect';
const WARM_UP_LINE = /\[webrtc-gst\] warm-up: /;
const TIMING_LINE = /\[timing\] backend=\S+ connect=(\d+)ms/;

// Nearest rank: the smallest sample with at least `p` of them at or below it.
function percentile(sorted, p) {
  return sorted[Math.max(0, Math.ceil(p * sorted.length) - 1)];
}

function figure(label, samples, goal) {
  if (samples.length === 0) return `${label}: no samples`;
  const sorted = [...samples].sort((a, b) => a - b);
  const p90 = percentile(sorted, 0.9);
  let line = `${label}: p50 ${percentile(sorted, 0.5)} ms, p90 ${p90} ms, max ${sorted.at(-1)} ms (n=${sorted.length})`;
  if (goal) line += `; goal ≤ ${GOAL_MS} ms: ${p90 <= GOAL_MS ? 'met' : 'missed'}`;
  return line;
}

// The host log line, after `from`, that shows why the session ended.
function endCause(host, from) {
  const causes = [/no RTCP from the peer/, /ICE connection state → (disconnected|failed|closed)/, /peer ?gone/i,
    /data channel.*clos/i];
  const lines = host.lines.stderr.slice(from);
  const found = lines.find((l) => causes.some((c) => c.test(l)));
  return found ? found.replace(/^\S+ \S+ <\w+> /, '') : 'not in the log';
}

function saveLogs(dir, server, hosts) {
  mkdirSync(dir, { recursive: true });
  hosts.forEach((h, i) => writeFileSync(join(dir, `host-${i + 1}.log`), [...h.lines.stderr, ...h.lines.stdout].join('\n')));
  writeFileSync(join(dir, 'signal.log'), [...server.lines.stdout, ...server.lines.stderr].join('\n'));
}

async function bench(harness) {
  await harness.startDesktop();
  const { server, url: serverUrl, invite } = await harness.startServer();
  const hosts = [];
  try {
    await connectAgainAndAgain(harness, serverUrl, invite, hosts);
  } finally {
    if (options['log-dir']) saveLogs(resolve(options['log-dir']), server, hosts);
  }
}

async function connectAgainAndAgain(harness, serverUrl, invite, hosts) {
  const [hostToken] = invite();
  const [, padUrl] = invite();
  const browser = await harness.launchBrowser(chromium);
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  let page = null;

  const openPad = async (url) => {
    page = await context.newPage();
    await page.goto(url);
    await page.waitForFunction(() => window.orvanePad?.state === 'hosts', null, { timeout: 15000 });
  };
  const samples = { cold: { pad: [], host: [] }, warm: { pad: [], host: [] }, available: [] };
  let failures = 0;

  for (let start = 0; start < starts; ++start) {
    if (hosts.length) await hosts.at(-1).stop();
    const host = await harness.startHost(serverUrl, hostToken, `orvane-host #${start + 1}`);
    hosts.push(host);
    if (!page) await openPad(padUrl);

    for (let run = 0; run < runs; ++run) {
      const kind = run === 0 ? 'cold' : 'warm';
      const hostButton = page.getByRole('list', { name: 'Computers' }).getByRole('button').first();
      await hostButton.waitFor({ timeout: 15000 });
      // The host loads GStreamer's plugins in the background from its start: a
      // cold connection that comes before that is done waits for the rest.
      const warmedUp = host.lines.stderr.some((l) => WARM_UP_LINE.test(l));
      const label = `start ${start + 1} run ${run + 1} (${kind}${run === 0 && !warmedUp ? ', during warm-up' : ''})`;
      const connectMark = host.mark('stderr');
      await hostButton.click();
      try {
        await page.waitForFunction(() => window.orvanePad.connectMs !== null, null, { timeout: CONNECT_TIMEOUT_MS });
        const padMs = await page.evaluate(() => window.orvanePad.connectMs);
        const timing = await host.waitFor(TIMING_LINE, 5000, { stream: 'stderr', from: connectMark });
        const hostMs = Number(timing.match(TIMING_LINE)[1]);
        await host.waitFor(hostState('connected'), 5000, { stream: 'stderr', from: connectMark });
        samples[kind].pad.push(padMs);
        samples[kind].host.push(hostMs);
        console.log(`${label}: pad ${padMs} ms, host ${hostMs} ms`);
      } catch (error) {
        ++failures;
        console.log(`${label}: FAILED: ${error.message.split('\n')[0]}`);
      }
      await sleep(holdMs);

      const endMark = host.mark('stderr');
      const ended = Date.now();
      if (options.end === 'close') {
        await page.close();
        page = null;
      } else if (await page.evaluate(() => window.orvanePad.state !== 'hosts')) {
        await page.getByRole('button', { name: 'Disconnect' }).click();
      }
      await host.waitFor(hostState('available'), AVAILABLE_TIMEOUT_MS, { stream: 'stderr', from: endMark });
      const availableMs = Date.now() - ended;
      samples.available.push(availableMs);
      console.log(`${label}: available again ${availableMs} ms after ${endedBy} (${endCause(host, endMark)})`);
      if (!page) await openPad(serverUrl);
    }
  }

  console.log(`pad connect (host ${process.env.ORVANE_HOST}, ${runs} connection(s) after each of ${starts} start(s)):`);
  console.log(figure('FIGURE pad connect cold (request → first decoded frame)', samples.cold.pad, true));
  console.log(figure('FIGURE pad connect warm (request → first decoded frame)', samples.warm.pad, true));
  console.log(figure('FIGURE host connect timer cold (request → ICE connected)', samples.cold.host, true));
  console.log(figure('FIGURE host connect timer warm (request → ICE connected)', samples.warm.host, true));
  console.log(figure(`FIGURE host available again after ${endedBy}`, samples.available, false));
  if (failures) console.log(`FAILED connections: ${failures}`);

  if (failures) throw new Error(`${failures} connection(s) failed`);
}

await runWithHarness('orvane-bench-', bench);
