// The viewer: receives a model (a message from the bridge page, or ?url= on this machine),
// reads it with the engine for its format, and shows it framed, with orbit controls.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';
import { objectOf, readModel } from './formats.mjs';

const body = document.body;
const canvas = document.getElementById('view');
const message = document.getElementById('message');
const progress = document.getElementById('progress');

const renderer = new THREE.WebGLRenderer({ canvas, antialias: true, preserveDrawingBuffer: true });
renderer.setPixelRatio(window.devicePixelRatio);
const scene = new THREE.Scene();
scene.background = new THREE.Color(0x1d2026);
scene.add(new THREE.HemisphereLight(0xffffff, 0x404855, 2.2));
const sun = new THREE.DirectionalLight(0xffffff, 1.6);
sun.position.set(1, 2, 1.5);
scene.add(sun);
const camera = new THREE.PerspectiveCamera(45, 1, 0.01, 1000);
const controls = new OrbitControls(camera, canvas);
controls.addEventListener('change', render);
window.addEventListener('resize', render);
let shown = null;

function render() {
  const { clientWidth: width, clientHeight: height } = canvas;
  if (canvas.width !== Math.floor(width * renderer.getPixelRatio())) renderer.setSize(width, height, false);
  camera.aspect = width / Math.max(height, 1);
  camera.updateProjectionMatrix();
  renderer.render(scene, camera);
}

function frame(object) {
  const box = new THREE.Box3().setFromObject(object);
  if (box.isEmpty()) throw new Error('the file holds nothing to show');
  const center = box.getCenter(new THREE.Vector3());
  const radius = Math.max(box.getSize(new THREE.Vector3()).length() / 2, 1e-6);
  const distance = radius / Math.sin(THREE.MathUtils.degToRad(camera.fov / 2));
  camera.near = distance / 1000;
  camera.far = distance * 10;
  camera.position.copy(center).add(new THREE.Vector3(0.6, 0.45, 0.8).normalize().multiplyScalar(distance));
  controls.target.copy(center);
  controls.update();
  return box;
}

function sizeText(bytes) {
  const units = ['bytes', 'KB', 'MB', 'GB'];
  let value = bytes, unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; unit += 1; }
  return `${unit ? value.toFixed(1) : value} ${units[unit]}`;
}

// What is being read, and below it the engine's stage; the bar moves only when the engine
// tells how far it is.
function showStage(heading, stage, done, total) {
  message.textContent = stage ? `${heading}\n${stage}…` : heading;
  if (!total) return progress.removeAttribute('value');
  progress.max = total;
  progress.value = done;
}

function setState(state, text, name = '', detail = '') {
  body.dataset.state = state;
  message.textContent = text;
  progress.hidden = state !== 'loading';
  progress.removeAttribute('value');
  if (name) document.getElementById('name').textContent = name;
  document.getElementById('detail').textContent = detail;
  if (name) document.title = `${name} – Vexmoor 3D Viewer`;
}

// Models are read in a worker, one for the page: the engines load once, and the page keeps
// drawing and answering while a large model is read.
let worker = null;
const reads = new Map();  // request -> { settle, stage }
let nextRead = 0;

function failAll(text) {
  for (const { settle } of reads.values()) settle({ error: text });
  reads.clear();
  worker?.terminate();
  worker = null;
}

function readerWorker() {
  if (worker) return worker;
  worker = new Worker(new URL('./read-worker.mjs', import.meta.url), { type: 'module' });
  worker.addEventListener('message', ({ data }) => {
    const read = reads.get(data.id);
    if (!read) return;
    if (data.read) return performance.mark('step-file-read', { detail: data.read });
    if (data.stage) return read.stage(data.stage, data.done, data.total);
    reads.delete(data.id);
    read.settle(data);
  });
  worker.addEventListener('error', (event) => {
    event.preventDefault();
    failAll('the model reader could not be started');
  });
  return worker;
}

function readInWorker(name, buffer, stage) {
  const id = nextRead++;
  return new Promise((settle) => {
    reads.set(id, { settle, stage });
    readerWorker().postMessage({ id, name, buffer }, [buffer]);
  });
}

let latest = 0;  // the stages shown are those of the file opened last

async function open(name, buffer) {
  const opening = ++latest;
  const size = buffer.byteLength;
  const heading = `Reading ${name} — ${sizeText(size)}`;
  setState('loading', heading, name, sizeText(size));
  try {
    const answer = await readInWorker(name, buffer, (stage, done, total) => {
      if (latest === opening) showStage(heading, stage, done, total);
    });
    if (answer.error) throw new Error(answer.error);
    if (answer.unsupported) {
      setState('unsupported', `${answer.name} (${sizeText(size)}) is a ${answer.unsupported} file, which this viewer cannot show.`,
               name, sizeText(size));
      return;
    }
    const { format } = answer;
    showStage(heading, answer.object ? 'Drawing the model' : `Reading the ${format.label} file`);
    const object = answer.object ? objectOf(answer.object) : await readModel(format, answer.model);
    performance.mark('model-read');
    if (shown) scene.remove(shown);
    shown = object;
    scene.add(object);
    const box = frame(object);
    render();
    let shapes = 0;
    object.traverse((part) => { shapes += part.isInstancedMesh ? part.count : part.isMesh ? 1 : 0; });
    performance.mark('model-drawn', { detail: { shapes, size: box.getSize(new THREE.Vector3()).toArray() } });
    setState('shown', object.userData.notice ?? '', name, `${format.label} · ${sizeText(size)}`);
  } catch (error) {
    setState('error', `${name} (${sizeText(size)}) could not be opened: ${error?.message ?? error}`, name, sizeText(size));
  }
}

// Only files on this machine are fetched; an address elsewhere is ignored.
function loopbackAddress(text) {
  try {
    const url = new URL(text);
    const local = ['127.0.0.1', 'localhost', '[::1]'].includes(url.hostname);
    return local && (url.protocol === 'http:' || url.protocol === 'https:') ? url : null;
  } catch {
    return null;
  }
}

async function openAddress(url) {
  const name = decodeURIComponent(url.pathname.split('/').pop() || 'model');
  setState('loading', `Fetching ${name}…`, name);
  try {
    const response = await fetch(url);
    if (!response.ok) throw new Error(`the server answered ${response.status}`);
    await open(name, await response.arrayBuffer());
  } catch (error) {
    setState('error', `${name} could not be fetched: ${error?.message ?? error}`, name);
  }
}

render();
performance.mark('viewer-started');
readerWorker();  // now, so that what it loads arrives while the file is on its way
window.vexmoorOpen = open;
for (const data of window.vexmoorInbox.splice(0)) open(String(data.name || 'model'), data.buffer);
const address = new URLSearchParams(location.search).get('url');
if (address !== null) {
  const url = loopbackAddress(address);
  if (url) openAddress(url);
  else setState('error', 'Only files on this computer can be opened here.');
}
