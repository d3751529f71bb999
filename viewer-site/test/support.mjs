// Helpers of the viewer site's tests beside the browser tests' own: Chromium rendering WebGL
// in software, requests kept on this machine, and what the viewer shows.
import { test as nodeTest } from 'node:test';
import { launchChromium as launch } from '../../tests/e2e/support.mjs';

export { serveWithApp } from '../../tests/e2e/support.mjs';
// Planting faults one at a time needs only the first failure: with VEXMOOR_STOP_AT_FIRST_FAILURE
// set, the cases after a failed one are skipped instead of taking minutes each.
let failed = false;
export function test(name, body) {
  return nodeTest(name, async (t) => {
    if (failed && process.env.VEXMOOR_STOP_AT_FIRST_FAILURE) return t.skip('a case before failed');
    try {
      return await body(t);
    } catch (error) {
      failed = true;
      throw error;
    }
  });
}

export const samples = new URL('../samples/', import.meta.url).pathname;

export const launchChromium = () => launch(['--use-gl=angle', '--use-angle=swiftshader',
  '--enable-unsafe-swiftshader', '--window-size=900,700']);

// Any request that leaves this machine is recorded and refused.
export async function confine(context, allowedHosts = []) {
  const escaped = [];
  await context.route('**/*', (route) => {
    const { hostname } = new URL(route.request().url());
    if (['127.0.0.1', 'localhost', '[::1]', ...allowedHosts].includes(hostname)) return route.fallback();
    escaped.push(route.request().url());
    return route.abort();
  });
  return escaped;
}

// Run in the viewer's page: from the first "Reading …" it shows until the model is read, each
// text shown and the longest the page went without running a timer.
export function watchReading() {
  const watch = window.vexmoorWatch = { seen: [], longestPause: 0 };
  let last = null;
  const tick = () => {
    const now = performance.now(), text = document.getElementById('message')?.textContent ?? '';
    const read = performance.getEntriesByName('model-read')[0]?.startTime ?? Infinity;
    if (last !== null && last < read) watch.longestPause = Math.max(watch.longestPause, Math.min(now, read) - last);
    if (text.startsWith('Reading') && watch.seen.at(-1) !== text) watch.seen.push(text);
    if (last !== null || text.startsWith('Reading')) last = now;
    setTimeout(tick, 20);
  };
  tick();
}

// The viewer frame's state once it settles, and how much of its canvas the model covers.
export async function viewerOutcome(frame, timeoutMs = 60000) {
  await frame.waitForFunction(() => ['shown', 'unsupported', 'error'].includes(document.body.dataset.state),
    null, { timeout: timeoutMs });
  return frame.evaluate(() => {
    const canvas = document.getElementById('view');
    const copy = document.createElement('canvas');
    copy.width = canvas.width;
    copy.height = canvas.height;
    const context = copy.getContext('2d');
    context.drawImage(canvas, 0, 0);
    const data = context.getImageData(0, 0, copy.width, copy.height).data;
    let lit = 0, red = 0;
    for (let i = 0; i < data.length; i += 4) {
      const [r, g, b] = [data[i], data[i + 1], data[i + 2]];
      if (r + g + b > 0x1d + 0x20 + 0x26 + 60) lit += 1;  // clearly brighter than the background
      if (r > 120 && g < 80 && b < 90) red += 1;
    }
    const pixels = data.length / 4;
    return { state: document.body.dataset.state, message: document.getElementById('message').textContent,
      lit: lit / pixels, red: red / pixels, ...performance.getEntriesByName('model-drawn').at(-1)?.detail,
      reads: performance.getEntriesByName('step-file-read').map((mark) => mark.detail), watch: window.vexmoorWatch };
  });
}
