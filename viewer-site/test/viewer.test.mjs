// The viewer site in Chromium (WebGL in software), fed by the real application.
import assert from 'node:assert/strict';
import { copyFileSync, mkdirSync, mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { gzipSync } from 'node:zlib';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { after, before } from 'node:test';
import { catalog, startSite } from '../server.mjs';
import { stepAssembly, stepSphere } from '../samples/step-solid.mjs';
import { confine, launchChromium, samples, serveWithApp, test, viewerOutcome, watchReading } from './support.mjs';

const screenshots = process.env.VEXMOOR_SCREENSHOT_DIR ?? new URL('../test-output/', import.meta.url).pathname;
let site, browser;

before(async () => {
  site = await startSite();
  browser = await launchChromium();
  mkdirSync(screenshots, { recursive: true });
});
after(async () => {
  await browser?.close();
  site?.close();
});

// Opens the file through the application's bridge page; the outcome is the viewer's.
async function openThroughBridge(file, screenshot) {
  const served = await serveWithApp(file, `${site.origin}/tools/3d-viewer`);
  const context = await browser.newContext({ viewport: { width: 900, height: 700 } });
  const escaped = await confine(context);
  await context.addInitScript(watchReading);
  const page = await context.newPage();
  try {
    await page.goto(served.pageUrl);
    const frame = page.frameLocator('#viewer');
    await frame.locator('body').waitFor();
    const outcome = await viewerOutcome(page.frames().find((f) => f.url().startsWith(site.origin)), 120000);
    if (screenshot) await page.screenshot({ path: path.join(screenshots, screenshot) });
    return { ...outcome, escaped, served };
  } finally {
    await context.close();
    served.stop();
  }
}

test('the address fallback fetches and shows the model from this machine only', async () => {
  const served = await serveWithApp(path.join(samples, 'cube.stl'), `${site.origin}/tools/3d-viewer`);
  const context = await browser.newContext({ viewport: { width: 900, height: 700 } });
  const escaped = await confine(context);
  const page = await context.newPage();
  try {
    await page.goto(`${site.origin}/tools/3d-viewer?url=${encodeURIComponent(served.fileUrl)}`);
    const outcome = await viewerOutcome(page.mainFrame());
    assert.equal(outcome.state, 'shown', outcome.message);
    assert.ok(outcome.lit > 0.02);
    await page.goto(`${site.origin}/tools/3d-viewer?url=${encodeURIComponent('http://files.example/cube.stl')}`);
    assert.equal((await viewerOutcome(page.mainFrame())).state, 'error');
    assert.deepEqual(escaped, []);
  } finally {
    await context.close();
    served.stop();
  }
});

// Each handed over by the bridge page as the application serves it.
test('every sample format is shown, and the others get a message naming the file', async () => {
  const folder = mkdtempSync(path.join(tmpdir(), 'vexmoor-formats-'));
  writeFileSync(path.join(folder, 'house.skp'), 'not a model we read');
  writeFileSync(path.join(folder, 'scene.x3d'), '<X3D/>');
  writeFileSync(path.join(folder, 'broken.step'), 'ISO-10303-21;\nnothing else');
  // Names as files from Windows often have them, and VRML as it is often shipped, gzipped.
  copyFileSync(path.join(samples, 'part.step'), path.join(folder, 'PART.STP'));
  writeFileSync(path.join(folder, 'cube.wrz'), gzipSync(readFileSync(path.join(samples, 'cube.wrl'))));
  // A part that takes seconds to read: the page keeps answering (a hang guard on a shared
  // machine, not a timing) and says what it is doing.
  writeFileSync(path.join(folder, 'sphere.step'), stepSphere(60, 60));
  // Circles of radius up to 2 about the origin and, at x = 10, the right half of one of radius 1
  // (from 270° on, past 360°, to 90°).
  const entity = (type, ...codes) => `0\n${type}\n8\n0\n${codes.join('\n')}\n`;
  const circles = [2, 1.8, 1.6, 1.4, 1.2, 1, 0.8, 0.6, 0.4, 0.2].map((r) => entity('CIRCLE', 10, 0, 20, 0, 30, 0, 40, r));
  writeFileSync(path.join(folder, 'round.dxf'), `0\nSECTION\n2\nENTITIES\n${circles.join('')}` +
    `${entity('ARC', 10, 10, 20, 0, 30, 0, 40, 1, 50, 270, 51, 90)}0\nENDSEC\n0\nEOF\n`);
  // A binary STL's 80-byte header is free-form: here it starts as a zip's would, but for one byte.
  const triangle = Buffer.alloc(134);
  triangle.write('PK\x03\x05', 0, 'latin1');
  triangle.writeUInt32LE(1, 80);
  [0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0].forEach((v, k) => triangle.writeFloatLE(v, 84 + 4 * k));
  writeFileSync(path.join(folder, 'header.stl'), triangle);
  const drawnRound = ({ size }) => size.map((v) => Math.round(v * 1000) / 1000).join() === '13,4,0';
  const readAway = ({ watch }) => watch.longestPause < 2000 &&
    ['Loading the STEP and IGES reader…', 'Reading the shapes in sphere.step…']
      .every((stage) => watch.seen.includes(`Reading sphere.step — 3.7 MB\n${stage}`));
  const cases = [
    ['cube.stl', 'shown', 'viewer-stl.png'], ['cube.obj', 'shown'], ['cube.ply', 'shown'], ['cube.wrl', 'shown'],
    ['cube.dae', 'shown'], ['cube.3mf', 'shown'], ['textured.gltf', 'shown'], ['part.step', 'shown', 'viewer-step.png'],
    ['wall.ifc', 'shown'], ['terrain.las', 'shown'], ['plan.dxf', 'shown'], ['textured.glb', 'shown'],
    ['cube.3ds', 'shown'], ['cube.fbx', 'shown'], ['plane.igs', 'shown'], ['cube.3dm', 'shown'],
    [path.join(folder, 'PART.STP'), 'shown'], [path.join(folder, 'cube.wrz'), 'shown'],
    [path.join(folder, 'sphere.step'), 'shown', null, readAway],
    [path.join(folder, 'round.dxf'), 'shown', null, drawnRound],
    [path.join(folder, 'header.stl'), 'shown'],
    [path.join(folder, 'house.skp'), 'unsupported'], [path.join(folder, 'scene.x3d'), 'unsupported'],
    [path.join(folder, 'broken.step'), 'error'],
  ];
  for (const [name, expected, screenshot, check = () => true] of cases) {
    const outcome = await openThroughBridge(path.isAbsolute(name) ? name : path.join(samples, name), screenshot);
    assert.equal(outcome.state, expected, `${name}: ${outcome.message}`);
    assert.ok(check(outcome), `${name}: ${JSON.stringify(outcome.watch)}`);
    if (expected === 'shown') assert.ok(outcome.lit > 0.005, `${name} covers ${outcome.lit} of the canvas`);
    else assert.match(outcome.message, new RegExp(`${path.basename(name)} \\(\\d+ bytes\\)`));
    assert.deepEqual(outcome.escaped, [], name);
  }
});

// The sample part with its solid coloured as CAD systems write it.
function coloured(step, rgb) {
  const solid = /#(\d+)=MANIFOLD_SOLID_BREP/.exec(step)[1];
  const context = /#(\d+)=\( GEOMETRIC_REPRESENTATION_CONTEXT/.exec(step)[1];
  const styles = [`COLOUR_RGB('',${rgb.map((v) => v.toFixed(2)).join(',')})`, "FILL_AREA_STYLE_COLOUR('',#90001)",
    "FILL_AREA_STYLE('',(#90002))", 'SURFACE_STYLE_FILL_AREA(#90003)', "SURFACE_SIDE_STYLE('',(#90004))",
    'SURFACE_STYLE_USAGE(.BOTH.,#90005)', 'PRESENTATION_STYLE_ASSIGNMENT((#90006))',
    `STYLED_ITEM('color',(#90007),#${solid})`,
    `MECHANICAL_DESIGN_GEOMETRIC_PRESENTATION_REPRESENTATION('',(#90008),#${context})`];
  const lines = styles.map((entity, k) => `#${90001 + k}=${entity};`).join('\n');
  return step.replace('ENDSEC;\nEND-ISO', `${lines}\nENDSEC;\nEND-ISO`);
}

// The application bundles what the model names; the viewer finds each file in the bundle.
test('models made of several files are shown whole', async () => {
  const folder = mkdtempSync(path.join(tmpdir(), 'vexmoor-bundle-'));
  const bundle = path.join(folder, 'scene.zip');
  copyFileSync(path.join(samples, 'textured-bundle.zip'), bundle);
  const assembly = new URL('../node_modules/occt-import-js/test/testfiles/cax-if/s1-c5-214/s1-c5-214.stp',
    import.meta.url).pathname;
  // One part placed 50 times, and 20 or 30 levels of sub-assemblies each used twice: the CAD
  // reader reads the part once, and the assemblies, which hold no shapes, not at all.
  copyFileSync(path.join(samples, 'part.step'), path.join(folder, 'part.step'));
  writeFileSync(path.join(folder, 'row.step'), stepAssembly('part.step', 1, 50));
  writeFileSync(path.join(folder, 'nested.stp'), stepAssembly('part.step', 20, 2));
  writeFileSync(path.join(folder, 'deeper.stp'), stepAssembly('part.step', 30, 2));
  // Parts in the colours they were given; a black one would vanish into the background.
  const part = readFileSync(path.join(samples, 'part.step'), 'latin1');
  writeFileSync(path.join(folder, 'red.step'), coloured(part, [0.9, 0.05, 0.05]));
  writeFileSync(path.join(folder, 'black.step'), coloured(part, [0, 0, 0]));
  writeFileSync(path.join(folder, 'red-row.step'), stepAssembly('red.step', 1, 3));
  const partReadOnce = (o) => o.reads.join() === 'part.step';
  const cases = [
    [bundle, 'viewer-bundle.png', (o) => o.red > 0.05],
    [path.join(samples, 'separate/scene.gltf'), 'viewer-gltf-separate.png', (o) => o.red > 0.05],
    [assembly, 'viewer-assembly.png', (o) => o.lit > 0.05],
    [path.join(folder, 'row.step'), null, (o) => partReadOnce(o) && o.shapes === 50 && o.message === ''],
    [path.join(folder, 'nested.stp'), 'viewer-assembly-capped.png', (o) => partReadOnce(o) && o.shapes === 100000 &&
      /1,048,576 shapes; the first 100,000 are shown/.test(o.message)],
    [path.join(folder, 'deeper.stp'), null, (o) => partReadOnce(o) && /1,073,741,824 shapes/.test(o.message)],
    [path.join(folder, 'red.step'), 'viewer-step-red.png', (o) => o.red > 0.05],
    [path.join(folder, 'red-row.step'), null, (o) => o.red > 0.02 && o.shapes === 3],
    [path.join(folder, 'black.step'), null, (o) => o.lit > 0.02 && o.red === 0],
  ];
  for (const [file, screenshot, drawn] of cases) {
    const outcome = await openThroughBridge(file, screenshot);
    assert.equal(outcome.state, 'shown', outcome.message);
    assert.ok(drawn(outcome), `${file}: ${JSON.stringify(outcome)}`);
  }
});

test('every extension the catalog lists, in either case, goes to its reader', async () => {
  const page = await browser.newPage();
  await page.goto(`${site.origin}/tools/3d-viewer`);
  const routes = await page.evaluate(async (formats) => {
    const { formatOf } = await import('/app/formats.mjs');
    return formats.flatMap(({ id, extensions }) => extensions.flatMap((extension) =>
      [extension, extension.toUpperCase()].map((written) => [id, written, formatOf(`model.${written}`).reader])));
  }, catalog(site.origin).formats);
  for (const [id, extension, reader] of routes) assert.equal(reader, id === 'glb' ? 'gltf' : id, extension);
  await page.close();
});

// Chromium keeps public pages from framing 127.0.0.1, so here the site's own page is
// served under a public name too, and its parent is another public origin, named to look
// like this machine.
for (const parent of ['localhost.example.com', '127.0.0.1.nip.io']) {
  test(`a file from a parent that is not on this machine is ignored: ${parent}`, async () => {
    const context = await browser.newContext();
    const escaped = await confine(context, [parent, 'viewer.example']);
    await context.route('http://viewer.example/**', async (route) => {
      const url = route.request().url().replace('http://viewer.example', site.origin);
      await route.fulfill({ response: await route.fetch({ url }) });
    });
    await context.route(`http://${parent}/`, (route) => route.fulfill({
      contentType: 'text/html',
      body: `<iframe id="viewer" src="http://viewer.example/tools/3d-viewer?bridge=1"></iframe><script>
        addEventListener('message', (e) => {
          const buffer = new TextEncoder().encode('solid x\\nendsolid x').buffer;
          document.getElementById('viewer').contentWindow.postMessage({ type: 'open-file', name: 'x.stl', buffer }, '*', [buffer]);
          document.title = 'sent';
        });</script>`,
    }));
    const page = await context.newPage();
    await page.goto(`http://${parent}/`);
    await page.waitForFunction(() => document.title === 'sent');
    await new Promise((resolve) => setTimeout(resolve, 500));
    const frame = page.frames().find((f) => f.url().startsWith('http://viewer.example'));
    assert.equal(await frame.evaluate(() => document.body.dataset.state), 'waiting');
    assert.deepEqual(escaped, []);
    await context.close();
  });
}

// Where an assembly puts a part kept in a file of its own: the file's length unit, and a
// placement turned a quarter about z (x goes to y, y to -x: a right-handed frame, not a mirror).
test('an assembly places its parts in the unit and frame of its file', async () => {
  const { assemblyOf } = await import('../public/step-assembly.mjs');
  const units = [
    ['( LENGTH_UNIT() NAMED_UNIT(*) SI_UNIT(.MILLI.,.METRE.) )', 1],
    ['( LENGTH_UNIT() NAMED_UNIT(*) SI_UNIT($,.METRE.) )', 1000],
    ['( LENGTH_UNIT() NAMED_UNIT(*) SI_UNIT(.CENTI.,.METRE.) )', 10],
    ["( CONVERSION_BASED_UNIT('INCH',#3) LENGTH_UNIT() NAMED_UNIT(#4) )", 25.4],
  ];
  for (const [unit, millimetres, towards = '#37'] of [...units, [units[0][0], 1, '$']]) {
    const source = `DATA;
#1=${unit};
#10=PRODUCT_DEFINITION('design','',#90,#91);
#11=PRODUCT_DEFINITION('design','',#92,#91);
#12=DOCUMENT_FILE('part.step','',$,#93,'',$);
#13=APPLIED_DOCUMENT_REFERENCE(#12,'',(#11));
#20=NEXT_ASSEMBLY_USAGE_OCCURRENCE('1','','',#10,#11,$);
#21=PRODUCT_DEFINITION_SHAPE('','',#20);
#30=AXIS2_PLACEMENT_3D('',#31,#32,#33);
#31=CARTESIAN_POINT('',(0.,0.,1.));
#32=DIRECTION('',(0.,0.,1.));
#33=DIRECTION('',(1.,0.,0.));
#34=AXIS2_PLACEMENT_3D('',#35,#36,${towards});
#35=CARTESIAN_POINT('',(10.,0.,0.));
#36=DIRECTION('',(0.,0.,2.));
#37=DIRECTION('',(0.,1.,0.5));
#40=ITEM_DEFINED_TRANSFORMATION('','',#30,#34);
#41=( REPRESENTATION_RELATIONSHIP('','',#50,#51) REPRESENTATION_RELATIONSHIP_WITH_TRANSFORMATION(#40) SHAPE_REPRESENTATION_RELATIONSHIP() );
#42=CONTEXT_DEPENDENT_SHAPE_REPRESENTATION(#41,#21);
ENDSEC;`;
    const [root] = assemblyOf(source).uses;
    const [use] = root.node.uses;
    assert.equal(use.file, 'part.step');
    const { Vector3 } = await import('three');
    const at = (x, y, z) => new Vector3(x, y, z).applyMatrix4(use.matrix).toArray().map((v) => Math.round(v * 1000) / 1000);
    const offset = 10 * millimetres, lift = -1 * millimetres;
    assert.deepEqual(at(0, 0, 0), [offset, 0, lift], unit);
    // Without a direction for x, x stays x.
    const turned = towards !== '$';
    assert.deepEqual(at(1, 0, 0), turned ? [offset, 1, lift] : [offset + 1, 0, lift], unit);
    assert.deepEqual(at(0, 1, 0), turned ? [offset - 1, 0, lift] : [offset, 1, lift], unit);
    assert.deepEqual(at(0, 0, 1), [offset, 0, lift + 1], unit);
  }
});
