// Writes the viewer that ships with the application into one folder: the site's public files
// with the bundled viewer script beside them in app/, and the vendor bundle and the engines
// under vendor/, at the same places as the site serves them. Usage: node build-builtin.mjs OUT
import { cpSync, mkdirSync, readdirSync, readFileSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { build } from 'esbuild';
import { bundleViewer, catalog } from './server.mjs';

const root = fileURLToPath(new URL('.', import.meta.url));
const out = resolve(process.argv[2] ?? '');
if (!process.argv[2]) throw new Error('usage: node build-builtin.mjs OUTPUT_FOLDER');

// The engines' scripts and .wasm files, from the packages the site serves them from.
const engines = [
  ['node_modules/occt-import-js/dist', 'vendor/occt', ['occt-import-js.js', 'occt-import-js.wasm']],
  ['node_modules/web-ifc', 'vendor/web-ifc', ['web-ifc-api.js', 'web-ifc.wasm']],
  ['node_modules/three/examples/jsm/libs/rhino3dm', 'vendor/three/examples/jsm/libs/rhino3dm',
    ['rhino3dm.js', 'rhino3dm.wasm']],
];

// Written beside the folder and moved into place whole: a build that fails halfway leaves
// the previous viewer as it was.
const work = `${out}.part`;
rmSync(work, { recursive: true, force: true });
mkdirSync(join(work, 'app'), { recursive: true });
cpSync(join(root, 'public'), join(work, 'app'), { recursive: true, dereference: true });
writeFileSync(join(work, 'app/viewer.js'), await bundleViewer());
// As the site's own build (package.json) makes it: the engines' scripts name Node's modules
// on a path a browser never takes.
await build({ entryPoints: [join(root, 'vendor-entry.mjs')], bundle: true, format: 'esm', platform: 'browser',
  external: ['fs', 'path', 'crypto'], minify: true, outfile: join(work, 'vendor/bundle/vendor.js'),
  logLevel: 'warning' });
for (const [from, to, names] of engines) {
  mkdirSync(join(work, to), { recursive: true });
  for (const name of names) cpSync(join(root, from, name), join(work, to, name));
}
mkdirSync(join(work, 'api'));
writeFileSync(join(work, 'api/viewer-formats.json'), JSON.stringify({ ...catalog(''), viewerUrl: '' }));

// Served under an address of its own, the viewer finds nothing at the server's root.
for (const name of readdirSync(join(work, 'app'))) {
  if (!/\.(html|m?js|css)$/.test(name)) continue;
  if (/["'`(]\/(app|vendor)\//.test(readFileSync(join(work, 'app', name), 'utf8'))) {
    console.warn(`warning: ${name} names a file by an absolute address; the built-in viewer cannot load it`);
  }
}
rmSync(out, { recursive: true, force: true });
mkdirSync(dirname(out), { recursive: true });
renameSync(work, out);
