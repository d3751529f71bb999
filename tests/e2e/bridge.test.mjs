// The bridge page in Debian's Chromium, served by the real application, handing files to a
// stub viewer on another origin.
import assert from 'node:assert/strict';
import { rmSync } from 'node:fs';
import { after, before, describe, test } from 'node:test';
import { launchChromium, makeTempHome, serveWithApp, sha256, startStubViewer, writeRandomFile } from './support.mjs';

describe('bridge page', () => {
  let home, viewer, browser;
  const running = [];
  before(async () => {
    home = makeTempHome();
    viewer = await startStubViewer();
    browser = await launchChromium(['--disable-gpu']);
  });
  after(async () => {
    for (const served of running) served.stop();
    await browser?.close();
    viewer?.close();
    home?.remove();
  });

  // Opens the page of the application serving `file` with the viewer in `mode`. Dialogs (a
  // script that got injected) are recorded.
  async function openBridge(file, mode, beforeOpening = () => {}, suffix = '') {
    viewer.reports.length = 0;
    const served = await serveWithApp(file, viewer.base(mode) + suffix);
    running.push(served);
    beforeOpening();
    const page = await browser.newPage();
    const dialogs = [];
    page.on('dialog', (dialog) => { dialogs.push(dialog.message()); dialog.dismiss(); });
    await page.goto(served.pageUrl);
    return { served, page, dialogs };
  }

  const hostileNames = [`a&b<c>"d'e<!--<script>alert(1)__CONFIG__.stl`,
    `x__IFRAME_SRC__</script><script>alert(2)</script>.obj`.replaceAll('/', '_')];
  for (const [name, suffix] of [['part.stl', ''], ['query.stl', '?lang=en#top'], ...hostileNames.map((n) => [n, ''])]) {
    test(`a ready viewer receives exactly the served bytes, named ${name}`, async () => {
      const { file, bytes } = writeRandomFile(home.files, name, name === 'part.stl' ? 6 << 20 : 4096);
      const bridge = await openBridge(file, 'ready', undefined, suffix);
      const received = await viewer.next('open-file', 8000);
      assert.ok(received, 'the viewer got no file');
      assert.deepEqual(received, { kind: 'open-file', origin: new URL(bridge.served.pageUrl).origin, name,
        length: bytes.length, sha256: sha256(bytes) });
      assert.equal(await bridge.page.title(), `${name} - Vexmoor 3D Viewer`);
      assert.deepEqual(bridge.dialogs, []);
    });
  }

  // A viewer without bridge support, a forged ready signal from a third origin, and a file
  // gone before the download (at once, without the wait) all end with the viewer fetching
  // the file's address itself.
  for (const [name, mode, status, gone] of [['silent.obj', 'silent', 200], ['forged.stl', 'foreign', 200],
    ['gone.stl', 'ready', 404, true]]) {
    test(`the page falls back to the address: ${mode}${gone ? ', file gone' : ''}`, async () => {
      const { file, bytes } = writeRandomFile(home.files, name, 2 << 20);
      const started = Date.now();
      const bridge = await openBridge(file, mode, () => gone && rmSync(file));
      const direct = await viewer.next('direct', 15000);
      assert.equal(direct?.status, status, 'the page never fell back to the address');
      if (!gone) assert.equal(direct.sha256, sha256(bytes));
      if (gone) assert.ok(Date.now() - started < 5000, `fell back only after ${Date.now() - started} ms`);
      await bridge.page.waitForURL((url) => url.href.startsWith(`${viewer.base(mode)}?`) &&
        url.searchParams.get('url') === bridge.served.fileUrl);
      assert.equal(viewer.reports.filter((r) => r.kind === 'open-file').length, 0);
    });
  }

  test('the file never follows a viewer frame that went to another origin', async () => {
    const { file } = writeRandomFile(home.files, 'moved.stl', 1 << 20);
    viewer.reports.length = 0;
    const served = await serveWithApp(file, viewer.base('elsewhere'));
    running.push(served);
    const page = await browser.newPage();
    let release;
    const held = new Promise((resolve) => { release = resolve; });
    await page.route((url) => url.href === served.fileUrl, async (route) => { await held; await route.continue(); });
    await page.goto(served.pageUrl);
    assert.ok(await viewer.next('listening', 8000), 'the frame never reached the other origin');
    release();
    assert.equal(await viewer.next('open-file', 3000), null);
  });
});
