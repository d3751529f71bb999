// See cax-if.sh. The files are read where npm installed them, never copied into the project.
import { readdirSync } from 'node:fs';
import path from 'node:path';
import { startSite } from '../viewer-site/server.mjs';
import { launchChromium, serveWithApp, viewerOutcome } from '../viewer-site/test/support.mjs';

const root = new URL('../viewer-site/node_modules/occt-import-js/test/testfiles/', import.meta.url).pathname;
const models = readdirSync(root, { recursive: true })
  .filter((name) => /\.(stp|step|igs|iges)$/i.test(name)).sort();

const site = await startSite();
const browser = await launchChromium();
const counts = { drawn: 0, blank: 0, error: 0 };
for (const name of models) {
  const page = await browser.newPage({ viewport: { width: 900, height: 700 } });
  const started = performance.now();
  let outcome = 'error', detail = '', served = null;
  try {
    served = await serveWithApp(path.join(root, name), `${site.origin}/tools/3d-viewer`);
    await page.goto(served.pageUrl);
    const frame = page.frames().find((f) => f.url().startsWith(site.origin));
    const seen = await viewerOutcome(frame, 120000);
    outcome = seen.state !== 'shown' ? 'error' : seen.lit > 0.002 ? 'drawn' : 'blank';
    detail = seen.state === 'shown' ? `${(seen.lit * 100).toFixed(1)}% of the view` : seen.message;
  } catch (error) {
    detail = String(error?.message ?? error).split('\n')[0];
  } finally {
    served?.stop();
  }
  counts[outcome] += 1;
  console.log(`${outcome.padEnd(5)} ${(performance.now() - started).toFixed(0).padStart(6)} ms  ${name}  ${detail}`);
  await page.close();
}
await browser.close();
site.close();
console.log(`${counts.drawn} of ${models.length} drawn, ${counts.blank} blank, ${counts.error} errors`);
