// The viewer: receives a model (a message from the bridge page, or ?url= on this machine),
// reads it with the engine for its format, and shows it framed, with orbit controls.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';
import { unzipSync } from 'three/addons/libs/fflate.module.js';
import { formatOf, readModel } from './formats.mjs';

const body = document.body;
const canvas = document.getElementById('view');
const message = document.getElementById('message');

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
}

function sizeText(bytes) {
  const units = ['bytes', 'KB', 'MB', 'GB'];
  let value = bytes, unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; unit += 1; }
  return `${unit ? value.toFixed(1) : value} ${units[unit]}`;
}

function setState(state, text, name = '', detail = '') {
  body.dataset.state = state;
  message.textContent = text;
  if (name) document.getElementById('name').textContent = name;
  document.getElementById('detail').textContent = detail;
  if (name) document.title = `${name} – Vexmoor 3D Viewer`;
}

function isZip(bytes) {
  return bytes[0] === 0x50 && bytes[1] === 0x4b && bytes[2] === 0x03 && bytes[3] === 0x04;
}

// A bundle is a zip with the model at its top level and the files it needs beside it; a zip that
// is an OPC package (3MF, DWFX) is a model of its own.
function unpack(name, buffer) {
  const bytes = new Uint8Array(buffer);
  if (!isZip(bytes)) return { name, buffer, files: new Map() };
  const entries = unzipSync(bytes);
  const names = Object.keys(entries);
  if (names.includes('[Content_Types].xml')) return { name, buffer, files: new Map() };
  // Each file under its path and, unless another has it first, under its name alone.
  const files = new Map();
  for (const entry of names.filter((name) => !name.endsWith('/'))) files.set(entry.toLowerCase(), entries[entry]);
  for (const entry of names.filter((name) => !name.endsWith('/'))) {
    const name = entry.split('/').pop().toLowerCase();
    if (!files.has(name)) files.set(name, entries[entry]);
  }
  const model = names.find((entry) => !entry.includes('/') && formatOf(entry).readable) ??
                names.find((entry) => !entry.includes('/'));
  if (!model) throw new Error('the bundle holds no model');
  const data = entries[model];
  return { name: model, buffer: data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength), files };
}

async function open(name, buffer) {
  const size = buffer.byteLength;
  setState('loading', `Opening ${name}…`, name, sizeText(size));
  try {
    const model = unpack(name, buffer);
    const format = formatOf(model.name);
    if (!format.readable) {
      setState('unsupported', `${model.name} (${sizeText(size)}) is a ${format.label} file, which this viewer cannot show.`,
               name, sizeText(size));
      return;
    }
    const object = await readModel(format, model);
    performance.mark('model-read');
    if (shown) scene.remove(shown);
    shown = object;
    scene.add(object);
    frame(object);
    render();
    let shapes = 0;
    object.traverse((part) => { shapes += part.isInstancedMesh ? part.count : part.isMesh ? 1 : 0; });
    performance.mark('model-drawn', { detail: { shapes } });
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
window.vexmoorOpen = open;
for (const data of window.vexmoorInbox.splice(0)) open(String(data.name || 'model'), data.buffer);
const address = new URLSearchParams(location.search).get('url');
if (address !== null) {
  const url = loopbackAddress(address);
  if (url) openAddress(url);
  else setState('error', 'Only files on this computer can be opened here.');
}
