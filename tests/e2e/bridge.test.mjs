// The bridge page in Debian's Chromium, served by the real application, handing files to a
// stub viewer on another origin.
import assert from 'node:assert/strict';
import { rmSync } from 'node:fs';
import net from 'node:net';
import { after, before, describe, test } from 'node:test';
import { launchChromium, makeTempHome, serveWithApp, sha256, startStubViewer, writeRandomFile } from './support.mjs';

describe('bridge page', () => {
  let home, viewer, browser, drawing;
  const running = [];
  before(async () => {
    home = makeTempHome();
    viewer = await startStubViewer();
    browser = await launchChromium(['--disable-gpu']);
  });
  after(async () => {
    for (const served of running) served.stop();
    await browser?.close();
    await drawing?.close();
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

  // The viewer built into the application, in a browser that draws WebGL in software: taken
  // when the hosted viewer cannot be reached, and used alone when the settings choose it.
  const closedPort = async () => {
    const server = net.createServer();
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    const { port } = server.address();
    await new Promise((resolve) => server.close(resolve));
    return port;
  };
  const notice = 'The online viewer could not be reached; showing the viewer built into Vexmoor 3D Viewer.';
  for (const [label, hosted, settings, shownNotice] of [
    ['a hosted viewer whose name does not resolve', async () => 'https://viewer.invalid/tools/3d-viewer', {}, notice],
    ['a hosted viewer on a closed port', async () => `http://127.0.0.1:${await closedPort()}/tools/3d-viewer`, {}, notice],
    ['builtin in the user\'s settings', async () => viewer.base('ready'), { user: 'builtin' }, null],
    ['builtin in the system\'s settings', async () => viewer.base('ready'), { system: 'builtin' }, null],
  ]) {
    test(`the built-in viewer draws the model: ${label}`, async () => {
      drawing ??= await launchChromium(['--use-gl=angle', '--use-angle=swiftshader', '--enable-unsafe-swiftshader']);
      const served = await serveWithApp(new URL('../../viewer-site/samples/cube.stl', import.meta.url).pathname,
        await hosted(), settings);
      running.push(served);
      const context = await drawing.newContext();
      const requested = [];
      context.on('request', (request) => requested.push(request.url()));
      const page = await context.newPage();
      const opened = Date.now();
      await page.goto(served.pageUrl);
      const origin = new URL(served.pageUrl).origin;
      const builtin = `${origin}${new URL(served.pageUrl).pathname.replace(/open$/, 'viewer/app/viewer.html')}`;
      await page.waitForFunction((url) => document.getElementById('viewer').src.startsWith(url), builtin);
      const frame = page.frames().find((f) => f.url().startsWith(builtin));
      await frame.waitForFunction(() => document.body.dataset.state === 'shown', null, { timeout: 60000 });
      console.log(`# ${label}: model on screen ${Date.now() - opened} ms after the page was opened`);
      const shown = await page.locator('#notice').evaluate((p) => (p.hidden ? null : p.textContent));
      assert.equal(shown, shownNotice);
      if (!shownNotice) assert.deepEqual(requested.filter((url) => !url.startsWith(`${origin}/`)), []);
      await context.close();
    });
  }
});
