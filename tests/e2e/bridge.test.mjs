// The bridge page in Debian's Chromium, served by the real loopback server, handing files
// to a stub viewer on another origin.
import assert from 'node:assert/strict';
import { rmSync } from 'node:fs';
import { after, before, describe, test } from 'node:test';
import {
  launchChromium, makeTempHome, serveFile, sha256, startStubViewer, writeRandomFile,
} from './support.mjs';

describe('bridge page', () => {
  let home, viewer, browser;
  before(async () => {
    home = makeTempHome();
    viewer = await startStubViewer();
    browser = await launchChromium(home.env);
  });
  after(async () => {
    await browser?.close();
    viewer?.close();
    home?.remove();
  });

  // Opens the page of a server for `file` with the viewer in `mode`; returns what is
  // needed to watch it. Dialogs (a script that got injected) are recorded.
  async function openBridge(file, mode) {
    viewer.reports.length = 0;
    const served = await serveFile(file, viewer.base(mode), home.env);
    const page = await browser.newPage();
    const dialogs = [];
    page.on('dialog', (dialog) => { dialogs.push(dialog.message()); dialog.dismiss(); });
    await page.goto(served.pageUrl);
    return { served, page, dialogs, close: async () => { await page.close(); served.stop(); } };
  }

  test('a ready viewer receives exactly the served bytes under the given name', async () => {
    const { file, bytes } = writeRandomFile(home.files, 'part.stl', 6 * 1024 * 1024);
    const bridge = await openBridge(file, 'ready');
    const received = await viewer.next('open-file', 8000);
    assert.ok(received, 'the viewer got no file');
    assert.equal(received.name, 'part.stl');
    assert.equal(received.length, bytes.length);
    assert.equal(received.sha256, sha256(bytes));
    assert.equal(received.origin, new URL(bridge.served.pageUrl).origin);
    assert.equal(await bridge.page.title(), 'part.stl - Vexmoor 3D Viewer');
    await bridge.close();
  });

  test('a viewer that never signals ready gets the file by address after the wait', async () => {
    const { file, bytes } = writeRandomFile(home.files, 'silent.obj', 2 * 1024 * 1024);
    const bridge = await openBridge(file, 'silent');
    const direct = await viewer.next('direct', 15000);
    assert.ok(direct, 'the page never fell back to the address');
    assert.equal(direct.status, 200);
    assert.equal(direct.length, bytes.length);
    assert.equal(direct.sha256, sha256(bytes));
    const expected = `${viewer.base('silent')}?url=${encodeURIComponent(bridge.served.fileUrl)}`;
    assert.equal(bridge.page.url(), expected);
    assert.equal(viewer.reports.filter((r) => r.kind === 'open-file').length, 0);
    await bridge.close();
  });

  test('a file gone before the download makes the page fall back at once', async () => {
    const { file } = writeRandomFile(home.files, 'gone.stl', 1000);
    const served = await serveFile(file, viewer.base('ready'), home.env);
    rmSync(file);
    viewer.reports.length = 0;
    const page = await browser.newPage();
    const started = Date.now();
    await page.goto(served.pageUrl);
    const direct = await viewer.next('direct', 15000);
    assert.ok(direct, 'the page never fell back');
    assert.equal(direct.status, 404);
    assert.ok(Date.now() - started < 5000, `fell back only after ${Date.now() - started} ms`);
    await page.close();
    served.stop();
  });

  test('a ready signal from another origin is ignored', async () => {
    const { file } = writeRandomFile(home.files, 'forged.stl', 1000);
    const bridge = await openBridge(file, 'foreign');
    const direct = await viewer.next('direct', 15000);
    assert.ok(direct, 'the page should have fallen back, not sent the file');
    assert.equal(viewer.reports.filter((r) => r.kind === 'open-file').length, 0);
    await bridge.close();
  });

  for (const name of [`a&b<c>"d'e<!--<script>alert(1)__CONFIG__.stl`,
    `x__IFRAME_SRC__</script><script>alert(2)</script>.obj`.replaceAll('/', '_')]) {
    test(`a hostile file name is shown literally and still delivered: ${name}`, async () => {
      const { file, bytes } = writeRandomFile(home.files, name, 4096);
      const bridge = await openBridge(file, 'ready');
      const received = await viewer.next('open-file', 8000);
      assert.ok(received, 'the viewer got no file');
      assert.equal(received.name, name);
      assert.equal(received.sha256, sha256(bytes));
      assert.equal(await bridge.page.title(), `${name} - Vexmoor 3D Viewer`);
      assert.deepEqual(bridge.dialogs, []);
      await bridge.close();
    });
  }
});
