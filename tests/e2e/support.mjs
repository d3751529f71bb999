// Helpers of the browser tests (the bridge page's and the viewer site's): a throw-away home,
// the real application serving a file there, a stub viewer site that reports what it
// received, and Chromium.
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { mkdtempSync, mkdirSync, readFileSync, rmSync, symlinkSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

export const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

// Chromium in a home of its own, so that nothing it keeps lands in the user's.
export async function launchChromium(extraFlags = []) {
  const home = makeTempHome();
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', env: home.env, args: ['--no-sandbox',
    '--disable-quic', '--no-first-run', '--disable-background-networking', '--disable-component-update',
    '--disable-sync', ...extraFlags] });
  browser.on('disconnected', home.remove);
  return browser;
}

// A temporary home: HOME, XDG_* and TMPDIR inside it, desktop session variables removed.
export function makeTempHome() {
  const root = mkdtempSync(path.join(tmpdir(), 'vexmoor-e2e-'));
  const env = { ...process.env };
  for (const name of ['XDG_CURRENT_DESKTOP', 'DISPLAY', 'WAYLAND_DISPLAY', 'DBUS_SESSION_BUS_ADDRESS', 'BROWSER']) {
    delete env[name];
  }
  const dirs = { HOME: 'home', XDG_CONFIG_HOME: 'home/.config', XDG_DATA_HOME: 'home/.local/share',
    XDG_CACHE_HOME: 'home/.cache', XDG_CONFIG_DIRS: 'config-dirs', XDG_DATA_DIRS: 'data-dirs',
    XDG_RUNTIME_DIR: 'runtime', TMPDIR: 'tmp' };
  for (const [name, sub] of Object.entries(dirs)) {
    env[name] = path.join(root, sub);
    mkdirSync(env[name], { recursive: true, mode: 0o700 });
  }
  symlinkSync('/usr/share/mime', path.join(root, 'data-dirs/mime'));
  // Removed while a just-stopped application may still be clearing its own folders in it.
  const remove = () => rmSync(root, { recursive: true, force: true, maxRetries: 20, retryDelay: 50 });
  return { root, env, files: env.TMPDIR, remove };
}

const iniString = (text) => `"${text.replace(/\\/g, '\\\\').replace(/"/g, '\\"')}"`;

// Runs the real application on `file` in a home of its own whose cached catalog names
// `viewerUrl`, and whose own and system-wide settings hold `settings.user` and
// `settings.system` as ViewerUrl; resolves to its two addresses once it serves.
export async function serveWithApp(file, viewerUrl, settings = {}) {
  const executable = process.env.VEXMOOR_EXECUTABLE;
  if (!executable) throw new Error('VEXMOOR_EXECUTABLE must name the vexmoor-3dviewer program');
  const home = makeTempHome();
  const handOff = path.join(home.root, 'addresses');
  const catalog = JSON.stringify({ viewerUrl, formats: [{ id: 'stl', name: 'STL', category: 'mesh', extensions: ['stl'] }] });
  mkdirSync(path.join(home.env.XDG_CONFIG_HOME, 'Vexmoor'));
  const chosen = settings.user === undefined ? '' : `ViewerUrl=${iniString(settings.user)}\n`;
  writeFileSync(path.join(home.env.XDG_CONFIG_HOME, 'Vexmoor/3DViewer.conf'),
    `[General]\nCachedCatalog=${iniString(catalog)}\n${chosen}`);
  if (settings.system !== undefined) {
    mkdirSync(path.join(home.env.XDG_CONFIG_DIRS, 'Vexmoor'));
    writeFileSync(path.join(home.env.XDG_CONFIG_DIRS, 'Vexmoor/3DViewer.conf'),
      `[General]\nViewerUrl=${iniString(settings.system)}\n`);
  }
  const env = { ...home.env, VEXMOOR_STUB_NO_BROWSER: '1', VEXMOOR_STUB_URL_FILE: handOff };
  const child = spawn(executable, [file], { env, stdio: ['ignore', 'ignore', 'pipe'] });
  let said = '';
  child.stderr.on('data', (chunk) => { said += chunk; });
  const stop = () => { child.kill('SIGTERM'); home.remove(); };
  for (let i = 0; i < 200; i++) {
    let lines = [];
    try { lines = readFileSync(handOff, 'utf8').split('\n'); } catch { /* not yet */ }
    if (lines.length >= 3) return { fileUrl: lines[0], pageUrl: lines[1], stop };
    // Ended early: waiting on would only hide its message.
    if (child.exitCode !== null || child.signalCode !== null) {
      home.remove();
      throw new Error(`the application ended (${child.exitCode ?? child.signalCode}) before serving: ${said}`);
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  stop();
  throw new Error('the application did not serve the file');
}

function listen(server) {
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port)));
}

const viewerScript = `
const mode = location.pathname.split('/')[1];
const params = new URLSearchParams(location.search);
const report = (what) => fetch('/report', { method: 'POST', body: JSON.stringify(what) });
const digest = async (buffer) => Array.from(new Uint8Array(await crypto.subtle.digest('SHA-256', buffer)),
  (b) => b.toString(16).padStart(2, '0')).join('');
if (params.has('url')) {
  fetch(params.get('url')).then(async (r) => {
    const buffer = await r.arrayBuffer();
    report({ kind: 'direct', status: r.status, length: buffer.byteLength, sha256: await digest(buffer) });
  }).catch((e) => report({ kind: 'direct', error: String(e) }));
} else {
  window.addEventListener('message', async (e) => {
    if (!e.data || e.data.type !== 'open-file') return;
    const length = e.data.buffer.byteLength;
    if (mode === 'bench') return report({ kind: 'open-file', length });
    report({ kind: 'open-file', origin: e.origin, name: e.data.name, length, sha256: await digest(e.data.buffer) });
  });
  const bridged = params.get('bridge') === '1';
  if (bridged && ['ready', 'bench', 'elsewhere'].includes(mode)) parent.postMessage({ type: 'viewer-ready' }, '*');
  // Ready, then gone to a page of a third origin before the file arrives.
  if (mode === 'elsewhere') location.replace(FOREIGN_PAGE + 'listen');
  if (mode === 'foreign') {
    const intruder = document.createElement('iframe');
    intruder.src = FOREIGN_PAGE;
    document.body.appendChild(intruder);
  }
}`;

// A viewer site on http://localhost:PORT whose first path segment says how it behaves:
// "ready" signals ready when its query says bridge=1, "bench" too but reports only the length, "silent" never does,
// "foreign" never does but hosts a page of a third origin that posts a forged ready signal,
// "elsewhere" signals ready and then turns into a page of that third origin that reports
// any file it is handed.
export async function startStubViewer() {
  const reports = [];
  const waiting = [];
  let reportUrl;
  const foreign = http.createServer((req, res) => {
    res.setHeader('Content-Type', 'text/html');
    if (req.url !== '/listen') return res.end(`<script>top.postMessage({ type: 'viewer-ready' }, '*');</script>`);
    res.end(`<script>
      const report = (what) => fetch(${JSON.stringify(reportUrl)}, { method: 'POST', mode: 'no-cors', body: JSON.stringify(what) });
      addEventListener('message', (e) => { if (e.data?.type === 'open-file') report({ kind: 'open-file', at: 'elsewhere' }); });
      report({ kind: 'listening' });</script>`);
  });
  const foreignPort = await listen(foreign);
  const site = http.createServer((req, res) => {
    if (req.method === 'POST' && req.url === '/report') {
      let body = '';
      req.on('data', (chunk) => { body += chunk; });
      req.on('end', () => {
        reports.push(JSON.parse(body));
        for (const w of waiting.splice(0)) w();
        res.end('ok');
      });
      return;
    }
    res.setHeader('Content-Type', 'text/html');
    const script = viewerScript.replaceAll('FOREIGN_PAGE', JSON.stringify(`http://127.0.0.1:${foreignPort}/`));
    res.end(`<!doctype html><body><script>${script}</script></body>`);
  });
  const port = await listen(site);
  reportUrl = `http://localhost:${port}/report`;
  return {
    base: (mode) => `http://localhost:${port}/${mode}/tools/3d-viewer`,
    reports,
    // The first report of that kind, or null when none came within the time.
    async next(kind, timeoutMs) {
      const deadline = Date.now() + timeoutMs;
      for (;;) {
        const found = reports.find((r) => r.kind === kind);
        if (found) return found;
        const left = deadline - Date.now();
        if (left <= 0) return null;
        await new Promise((resolve) => { waiting.push(resolve); setTimeout(resolve, left); });
      }
    },
    close: () => { site.close(); foreign.close(); },
  };
}

export function writeRandomFile(dir, name, size) {
  const bytes = randomBytes(size);
  const file = path.join(dir, name);
  writeFileSync(file, bytes);
  return { file, bytes };
}
