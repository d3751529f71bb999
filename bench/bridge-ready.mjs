// Time from opening the bridge page to the viewer holding every byte of a 100 MB file,
// beside the floor: the same page context fetching the same file itself.
// Usage: VEXMOOR_EXECUTABLE=... node bench/bridge-ready.mjs
import {
  launchChromium, makeTempHome, serveWithApp, startStubViewer, writeRandomFile,
} from '../tests/e2e/support.mjs';

const size = 100 * 1000 * 1000;
const runs = 5;
const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];

const home = makeTempHome();
const viewer = await startStubViewer();
const browser = await launchChromium(['--disable-gpu']);
const { file } = writeRandomFile(home.files, 'large.stl', size);
try {
  const bridgeTimes = [];
  const fetchTimes = [];
  for (let run = 0; run < runs; run++) {
    viewer.reports.length = 0;
    const served = await serveWithApp(file, viewer.base('bench'));
    const page = await browser.newPage();
    const started = Date.now();
    await page.goto(served.pageUrl, { waitUntil: 'commit' });
    const received = await viewer.next('open-file', 60000);
    if (!received || received.length !== size) throw new Error('the viewer did not get the file');
    bridgeTimes.push(Date.now() - started);

    fetchTimes.push(await page.evaluate(async (url) => {
      const t0 = performance.now();
      const buffer = await (await fetch(url)).arrayBuffer();
      if (buffer.byteLength === 0) throw new Error('empty');
      return performance.now() - t0;
    }, served.fileUrl));
    await page.close();
    served.stop();
  }
  const bridge = median(bridgeTimes);
  const floor = median(fetchTimes);
  console.log(`100 MB ready path: ${bridge} ms median of ${runs} (page open to viewer holding all bytes)`);
  console.log(`floor, fetch of the same file in the page: ${floor.toFixed(0)} ms`);
  console.log(`ratio ready path / fetch: ${(bridge / floor).toFixed(2)}`);
} finally {
  await browser.close();
  viewer.close();
  home.remove();
}
