// See viewer-site.sh. Prints the medians and the ratio of the full path to the floor.
import { mkdtempSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { startSite } from '../viewer-site/server.mjs';
import { launchChromium, serveWithApp } from '../viewer-site/test/support.mjs';

const runs = 5;
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

// A binary STL of about 50 MB: a million triangles on a sphere.
function writeLargeStl(file) {
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
  writeFileSync(file, bytes);
}

const shownIn = (frame) => frame.waitForFunction(() => document.body.dataset.state === 'shown', null, { timeout: 120000 });

const folder = mkdtempSync(path.join(tmpdir(), 'vexmoor-bench-'));
const model = path.join(folder, 'sphere.stl');
writeLargeStl(model);
const site = await startSite();
const browser = await launchChromium();
const full = [], floor = [], ready = [];
for (let i = 0; i < runs; i++) {
  const page = await browser.newPage({ viewport: { width: 900, height: 700 } });
  await page.addInitScript(() => {
    window.addEventListener('message', (e) => {
      if (e.data?.type === 'viewer-ready') window.readyAt ??= performance.now();
    });
  });
  const started = performance.now();
  const served = await serveWithApp(model, `${site.origin}/tools/3d-viewer`);
  await page.goto(served.pageUrl);
  await shownIn(page.frames().find((f) => f.url().startsWith(site.origin)));
  full.push(performance.now() - started);
  ready.push(await page.evaluate(() => window.readyAt));
  await page.close();

  const direct = await browser.newPage({ viewport: { width: 900, height: 700 } });
  const fetched = performance.now();
  await direct.goto(`${site.origin}/tools/3d-viewer?url=${encodeURIComponent(served.fileUrl)}`);
  await shownIn(direct.mainFrame());
  floor.push(performance.now() - fetched);
  await direct.close();
  served.stop();
}
await browser.close();
site.close();
rmSync(folder, { recursive: true, force: true });
const [a, b, c] = [median(full), median(floor), median(ready)];
console.log(`50 MB STL, launch to model on screen: ${a.toFixed(0)} ms (median of ${runs})`);
console.log(`same site opening it with ?url=:      ${b.toFixed(0)} ms`);
console.log(`ratio: ${(a / b).toFixed(2)}`);
console.log(`bridge page load to "viewer-ready":   ${c.toFixed(0)} ms`);
