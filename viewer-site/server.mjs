// The reference viewer site on 127.0.0.1: the viewer page, its catalog of formats, the
// download pages, and the engines it loads, all from this folder. Nothing leaves the machine.
import { createServer } from 'node:http';
import { readFile, stat } from 'node:fs/promises';
import { extname, join, normalize, sep } from 'node:path';
import { fileURLToPath } from 'node:url';
import { build } from 'esbuild';

const root = fileURLToPath(new URL('.', import.meta.url));

const contentTypes = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.json': 'application/json',
  '.wasm': 'application/wasm',
  '.css': 'text/css; charset=utf-8',
  '.png': 'image/png',
  '.svg': 'image/svg+xml',
};

// Address prefixes and the folders behind them; nothing outside these is ever served.
const folders = [
  ['/app/', 'public'],
  ['/vendor/three/', 'node_modules/three'],
  ['/vendor/occt/', 'node_modules/occt-import-js/dist'],
  ['/vendor/web-ifc/', 'node_modules/web-ifc'],
  ['/vendor/bundle/', 'build'],
];

const renderedFormats = [
  ['step', 'STEP (ISO-10303-21)', 'cad', ['step', 'stp']],
  ['iges', 'IGES', 'cad', ['iges', 'igs']],
  ['glb', 'glTF Binary', 'mesh', ['glb']],
  ['gltf', 'glTF JSON', 'mesh', ['gltf']],
  ['obj', 'Wavefront OBJ', 'mesh', ['obj']],
  ['stl', 'Stereolithography', 'mesh', ['stl']],
  ['dxf', 'AutoCAD DXF', 'drawing', ['dxf']],
  ['ifc', 'IFC (Building)', 'cad', ['ifc']],
  ['ply', 'Polygon File Format', 'mesh', ['ply']],
  ['las', 'LAS / LAZ Point Cloud', 'pointcloud', ['las', 'laz']],
  ['3ds', '3D Studio', 'mesh', ['3ds']],
  ['fbx', 'Autodesk FBX', 'mesh', ['fbx']],
  ['3mf', '3D Manufacturing', 'mesh', ['3mf']],
  ['dae', 'COLLADA', 'mesh', ['dae']],
  ['wrl', 'VRML', 'mesh', ['wrl', 'vrml', 'wrz']],
  ['3dm', 'Rhino 3D Model', 'cad', ['3dm']],
].map(([id, name, category, extensions]) => ({ id, name, category, extensions }));

export { renderedFormats };

export function catalog(origin) {
  return { viewerUrl: `${origin}/tools/3d-viewer`, formats: renderedFormats };
}

function downloadPage(platform) {
  const name = platform === 'mac' ? 'macOS' : 'Linux';
  return `<!doctype html>
<html lang="en"><meta charset="utf-8"><title>Vexmoor 3D Viewer for ${name}</title>
<body style="font-family: sans-serif; max-width: 40em; margin: 3em auto">
<h1>Vexmoor 3D Viewer for ${name}</h1>
<p>Opens 3D models and CAD files from your computer in the Vexmoor viewer.</p>
<p>This reference site is for testing and offline use; builds are not published here.</p>
</body></html>
`;
}

async function sendFile(response, path) {
  const info = await stat(path);
  if (!info.isFile()) throw new Error('not a file');
  const body = await readFile(path);
  response.writeHead(200, {
    'Content-Type': contentTypes[extname(path)] ?? 'application/octet-stream',
    'Content-Length': body.length,
    'Cache-Control': 'no-cache',
  });
  response.end(body);
}

// The viewer and all it imports as one script. Loaded as separate modules, each level of
// imports is found only when the level above has been parsed; in the bridge page's frame
// that thread is also receiving the model, and the viewer started over half a second later.
export async function bundleViewer() {
  const result = await build({ entryPoints: [join(root, 'public/viewer.mjs')], bundle: true, format: 'esm',
    platform: 'browser', minify: true, write: false, external: ['web-ifc', 'vexmoor-vendor'], logLevel: 'warning' });
  return result.outputFiles[0].contents;
}

function send(response, status, type, body) {
  response.writeHead(status, { 'Content-Type': type, 'Content-Length': Buffer.byteLength(body) });
  response.end(body);
}

async function handle(request, response, origin, viewerScript) {
  const path = decodeURIComponent(new URL(request.url, origin).pathname);
  if (path === '/tools/3d-viewer') return sendFile(response, join(root, 'public/viewer.html'));
  if (path === '/app/viewer.js') return send(response, 200, contentTypes['.js'], viewerScript);
  const download = path.match(/^\/tools\/3d-viewer\/(linux|mac)$/);
  if (download) return send(response, 200, contentTypes['.html'], downloadPage(download[1]));
  if (path === '/api/viewer-formats') return send(response, 200, contentTypes['.json'], JSON.stringify(catalog(origin)));
  for (const [prefix, folder] of folders) {
    if (!path.startsWith(prefix)) continue;
    const base = join(root, folder);
    const file = normalize(join(base, path.slice(prefix.length)));
    if (!file.startsWith(base + sep)) break;
    return sendFile(response, file);
  }
  send(response, 404, 'text/plain', 'Not found\n');
}

// Listens on 127.0.0.1 (port 0: the system chooses); resolves to the server and its origin.
export async function startSite(port = 0) {
  const viewerScript = await bundleViewer();
  return new Promise((resolve, reject) => {
    const server = createServer((request, response) => {
      handle(request, response, server.origin, viewerScript).catch(() => {
        if (!response.headersSent) send(response, 404, 'text/plain', 'Not found\n');
      });
    });
    server.on('error', reject);
    server.listen(port, '127.0.0.1', () => {
      server.origin = `http://127.0.0.1:${server.address().port}`;
      resolve(server);
    });
  });
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const port = Number(process.env.PORT ?? process.argv[2] ?? 0);
  const server = await startSite(port);
  console.log(server.origin);
  for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => server.close(() => process.exit(0)));
}
