// Helpers of the viewer site's tests: the site, the real application in a throw-away home
// pointed at the site, and Chromium rendering WebGL in software.
import { spawn } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, rmSync, symlinkSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { catalog } from '../server.mjs';

export const samples = new URL('../samples/', import.meta.url).pathname;

const chromiumFlags = ['--no-sandbox', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--use-gl=angle', '--use-angle=swiftshader',
  '--enable-unsafe-swiftshader', '--window-size=900,700'];

export function launchChromium() {
  return chromium.launch({ executablePath: '/usr/bin/chromium', args: chromiumFlags });
}

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

// The settings file as Qt writes it, holding the site's catalog as the cached one.
function settingsWithCatalog(origin) {
  const text = JSON.stringify(catalog(origin)).replace(/\\/g, '\\\\').replace(/"/g, '\\"');
  return `[General]\nCachedCatalog="${text}"\n`;
}

// Runs the real application on `file` in a temporary home whose cached catalog names the
// site; resolves to its two addresses once it serves.
export async function serveWithApp(file, origin) {
  const executable = process.env.VEXMOOR_EXECUTABLE;
  if (!executable) throw new Error('VEXMOOR_EXECUTABLE must name the vexmoor-3dviewer program');
  const root = mkdtempSync(path.join(tmpdir(), 'vexmoor-site-'));
  const env = { PATH: process.env.PATH, HOME: path.join(root, 'home'), TMPDIR: path.join(root, 'tmp'),
    XDG_CONFIG_HOME: path.join(root, 'config'), XDG_DATA_HOME: path.join(root, 'data'),
    XDG_DATA_DIRS: path.join(root, 'data-dirs'), XDG_CONFIG_DIRS: path.join(root, 'config-dirs'),
    XDG_RUNTIME_DIR: path.join(root, 'runtime'), VEXMOOR_STUB_NO_BROWSER: '1',
    VEXMOOR_STUB_URL_FILE: path.join(root, 'addresses') };
  for (const name of ['HOME', 'TMPDIR', 'XDG_DATA_HOME', 'XDG_DATA_DIRS', 'XDG_CONFIG_DIRS', 'XDG_RUNTIME_DIR']) {
    mkdirSync(env[name], { recursive: true, mode: 0o700 });
  }
  symlinkSync('/usr/share/mime', path.join(env.XDG_DATA_DIRS, 'mime'));
  mkdirSync(path.join(env.XDG_CONFIG_HOME, 'Vexmoor'), { recursive: true });
  writeFileSync(path.join(env.XDG_CONFIG_HOME, 'Vexmoor/3DViewer.conf'), settingsWithCatalog(origin));
  const child = spawn(executable, [file], { env, stdio: 'ignore' });
  for (let i = 0; i < 200; i++) {
    let lines = [];
    try { lines = readFileSync(env.VEXMOOR_STUB_URL_FILE, 'utf8').split('\n'); } catch { /* not yet */ }
    if (lines.length >= 3) {
      return { fileUrl: lines[0], pageUrl: lines[1],
        stop: () => { child.kill('SIGTERM'); rmSync(root, { recursive: true, force: true }); } };
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  child.kill('SIGKILL');
  throw new Error('the application did not serve the file');
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
      lit: lit / pixels, red: red / pixels };
  });
}
