// See viewer-site.sh. For each model: the bridge path's phases, its medians beside the
// ?url= floor, and the ratio; for the STL and the zip bundle also the viewer built into the
// application; which Chromium and GL backend drew them.
import { copyFileSync, mkdtempSync, readFileSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { zipSync } from '../viewer-site/node_modules/three/examples/jsm/libs/fflate.module.js';
import { stepAssembly, stepSphere } from '../viewer-site/samples/step-solid.mjs';
import { startSite } from '../viewer-site/server.mjs';
import { launchChromium, samples, serveWithApp } from '../viewer-site/test/support.mjs';

const runs = 5;
const only = process.argv[2]; // stl, step, zip or stp: those models alone
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

// A binary STL of about 50 MB: a million triangles on a sphere.
function largeStl() {
  const triangles = 1_048_000;
  const bytes = Buffer.alloc(84 + 50 * triangles);
  bytes.writeUInt32LE(triangles, 80);
  for (let t = 0; t < triangles; t++) {
    const at = 84 + 50 * t;
    const theta = (t % 1000) / 1000 * Math.PI, phi = Math.floor(t / 1000) / 1048 * 2 * Math.PI;
    const corners = [[0, 0], [0.003, 0], [0, 0.006]].map(([dt, dp]) => [
      Math.sin(theta + dt) * Math.cos(phi + dp), Math.sin(theta + dt) * Math.sin(phi + dp), Math.cos(theta + dt)]);
    corners.flat().forEach((v, k) => bytes.writeFloatLE(v, at + 12 + 4 * k));
  }
  return bytes;
}

// The page's own clock at each phase of the bridge path, from inside both frames.
const phases = () => {
  const mark = (name) => window.top.postMessage({ type: 'bench-phase', name, at: performance.timeOrigin + performance.now() }, '*');
  if (window.top === window) {
    window.phaseTimes = {};
    window.addEventListener('message', (e) => {
      if (e.data?.type === 'bench-phase') window.phaseTimes[e.data.name] ??= e.data.at;
      if (e.data?.type === 'viewer-ready') window.phaseTimes.ready ??= performance.timeOrigin + performance.now();
    });
    new PerformanceObserver((list) => {
      for (const entry of list.getEntries()) {
        if (entry.name.includes('/file/')) window.phaseTimes.fetched ??= performance.timeOrigin + entry.responseEnd;
      }
    }).observe({ type: 'resource', buffered: true });
  } else {
    window.addEventListener('message', (e) => { if (e.data?.type === 'open-file') mark('open-file'); }, true);
    new MutationObserver(() => { if (document.body?.dataset.state === 'shown') mark('shown'); })
      .observe(document, { attributes: true, subtree: true, attributeFilter: ['data-state'] });
  }
};

// The viewer's own marks (started, model read, model drawn) and when its download of a
// file ended, on the same clock as the phases.
const viewerMarks = (frame) => frame.evaluate(() => {
  const at = (entry) => performance.timeOrigin + (entry.responseEnd ?? entry.startTime);
  const marks = Object.fromEntries(performance.getEntriesByType('mark').map((mark) => [mark.name, at(mark)]));
  const file = performance.getEntriesByType('resource').find((entry) => entry.name.includes('/file/'));
  return file ? { ...marks, fetched: at(file) } : marks;
});

const shownIn = (frame) => frame.waitForFunction(() => document.body.dataset.state === 'shown', null,
  { timeout: 300000, polling: 50 });

const folder = mkdtempSync(path.join(tmpdir(), 'vexmoor-bench-'));
// A 115 KB part of a CAx-IF assembly placed by an assembly of our own, once and 50 times.
const cadPart = new URL('../viewer-site/node_modules/occt-import-js/test/testfiles/cax-if/s1-c5-214/MAINBODY_BACK.stp',
  import.meta.url).pathname;
const placing = (uses) => () => {
  copyFileSync(cadPart, path.join(folder, 'part.stp'));
  return stepAssembly('part.stp', 1, uses, 300);
};
// Each model is made only when it is measured, so that one model alone starts at once.
const models = [
  ['50 MB STL', 'sphere.stl', largeStl],
  ['20 MB STEP part', 'sphere.step', () => Buffer.from(stepSphere(132, 134))],
  ['50 MB zip bundle', 'sphere-bundle.zip', () => Buffer.from(zipSync({ 'sphere.stl': new Uint8Array(largeStl()),
    'textures/crimson.png': new Uint8Array(readFileSync(path.join(samples, 'crimson.png'))) }, { level: 0 }))],
  ['STEP assembly placing a 115 KB part once', 'once.stp', placing(1)],
  ['STEP assembly placing it 50 times', 'fifty.stp', placing(50)],
];
const site = await startSite();
const browser = await launchChromium();
{
  const page = await browser.newPage();
  await page.goto(`${site.origin}/tools/3d-viewer`);
  const gl = await page.evaluate(() => {
    const context = document.createElement('canvas').getContext('webgl2');
    const info = context?.getExtension('WEBGL_debug_renderer_info');
    return info ? context.getParameter(info.UNMASKED_RENDERER_WEBGL) : 'no WebGL2';
  });
  console.log(`Chromium ${browser.version()}, GL: ${gl}`);
  await page.close();
}
for (const [label, name, make] of models.filter(([, name]) => !only || name.endsWith(`.${only}`))) {
  const model = path.join(folder, name);
  writeFileSync(model, make());
  const full = [], floor = [], phaseRuns = [], floorPhases = [], builtin = [];
  const throughBuiltin = ['sphere.stl', 'sphere-bundle.zip'].includes(name);
  for (let i = 0; i < runs; i++) {
    // The viewer built into the application: page, viewer and file from its one server.
    if (throughBuiltin) {
      const page = await browser.newPage({ viewport: { width: 900, height: 700 } });
      const started = performance.timeOrigin + performance.now();
      const own = await serveWithApp(model, `${site.origin}/tools/3d-viewer`, { user: 'builtin' });
      await page.goto(own.pageUrl);
      await page.waitForFunction(() => document.getElementById('viewer').src.includes('/viewer/app/viewer.html'));
      await shownIn(page.frames().find((f) => f.url().includes('/viewer/app/viewer.html')));
      builtin.push(performance.timeOrigin + performance.now() - started);
      await page.close();
      own.stop();
    }
    const page = await browser.newPage({ viewport: { width: 900, height: 700 } });
    await page.addInitScript(phases);
    const started = performance.timeOrigin + performance.now();
    const served = await serveWithApp(model, `${site.origin}/tools/3d-viewer`);
    const addresses = performance.timeOrigin + performance.now();
    await page.goto(served.pageUrl);
    await shownIn(page.frames().find((f) => f.url().startsWith(site.origin)));
    full.push(performance.timeOrigin + performance.now() - started);
    await page.waitForFunction(() => window.phaseTimes?.shown, null, { timeout: 5000 }).catch(() => {});
    const times = await page.evaluate(() => window.phaseTimes);
    const viewerFrame = page.frames().find((f) => f.url().startsWith(site.origin));
    phaseRuns.push({ addresses, ...times, ...await viewerMarks(viewerFrame), started });
    await page.close();

    const direct = await browser.newPage({ viewport: { width: 900, height: 700 } });
    const fetched = performance.timeOrigin + performance.now();
    await direct.goto(`${site.origin}/tools/3d-viewer?url=${encodeURIComponent(served.fileUrl)}`);
    await shownIn(direct.mainFrame());
    floor.push(performance.timeOrigin + performance.now() - fetched);
    floorPhases.push({ ...await viewerMarks(direct.mainFrame()), started: fetched });
    await direct.close();
    served.stop();
  }
  const [a, b] = [median(full), median(floor)];
  const phase = (runs, key) => median(runs.map((p) => (p[key] ?? NaN) - p.started)).toFixed(0);
  const bridge = (key) => phase(phaseRuns, key), floorPhase = (key) => phase(floorPhases, key);
  console.log(`${label}: launch to model on screen ${a.toFixed(0)} ms, ?url= ${b.toFixed(0)} ms, ratio ${(a / b).toFixed(2)}`);
  if (throughBuiltin) {
    const c = median(builtin);
    console.log(`  built-in viewer: launch to model on screen ${c.toFixed(0)} ms, ratio to ?url= ${(c / b).toFixed(2)}`);
  }
  console.log(`  bridge, from launch (ms): addresses ${bridge('addresses')}, page fetch complete ${bridge('fetched')}, ` +
    `ready ${bridge('ready')}, viewer started ${bridge('viewer-started')}, open-file ${bridge('open-file')}, ` +
    `model read ${bridge('model-read')}, drawn ${bridge('model-drawn')}, shown ${bridge('shown')}`);
  console.log(`  ?url=, from navigation (ms): viewer started ${floorPhase('viewer-started')}, ` +
    `fetch complete ${floorPhase('fetched')}, model read ${floorPhase('model-read')}, drawn ${floorPhase('model-drawn')}`);
}
await browser.close();
site.close();
rmSync(folder, { recursive: true, force: true });
