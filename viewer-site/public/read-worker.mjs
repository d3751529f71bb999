// Reads models away from the page, so that a large one never freezes it: unpacks bundles, runs
// the engines, and hands back the geometry as arrays whose buffers move to the page without a
// copy. A format whose reader needs the page itself (images, XML documents) goes back unread.
import {
  BufferAttribute, BufferGeometry, DxfParser, Float32BufferAttribute, Group, InstancedMesh, LASLoader,
  LineBasicMaterial, LineSegments, Matrix4, Mesh, MeshStandardMaterial, PLYLoader, Points, PointsMaterial, STLLoader,
  occtimportjs, parse, unzipSync,
} from '../vendor/bundle/vendor.js';
import { assemblyOf, deepestNesting } from './step-assembly.mjs';
import { companion, formatOf } from './format-names.mjs';

// Only the colour crosses to the page, which makes the material.
const surface = () => new MeshStandardMaterial({ color: 0xb8c4d6 });
const text = (buffer) => new TextDecoder().decode(buffer);
const engine = (path) => new URL(`../vendor/${path}`, import.meta.url).href;

// Normals missing or all zero (many STL writers leave them so) would render the model black.
function hasNormals(geometry) {
  const normals = geometry.attributes.normal?.array;
  return normals?.some((value) => value !== 0) ?? false;
}

function meshOf(geometry) {
  if (!hasNormals(geometry)) geometry.computeVertexNormals();
  const material = surface();
  if (geometry.attributes.color) material.vertexColors = true;
  return new Mesh(geometry, material);
}

function points(positions, colors) {
  const geometry = new BufferGeometry();
  geometry.setAttribute('position', new BufferAttribute(positions, 3));
  const material = new PointsMaterial({ color: colors ? 0xffffff : 0x9fd3ff });
  if (colors) {
    geometry.setAttribute('color', colors);
    material.vertexColors = true;
  }
  return new Points(geometry, material);
}

let occt = null;
function loadOcct(report) {
  report('Loading the STEP and IGES reader');
  occt ??= occtimportjs({ locateFile: (file) => engine(`occt/${file}`) })
    .catch(() => { occt = null; throw new Error('the STEP and IGES reader could not be loaded'); });
  return occt;
}

// A part coloured black (some CAD exports do) would vanish into the dark background.
function visibleColor(color) {
  const [r, g, b] = color;
  return Math.max(r, g, b) < 0.12 ? [0.28, 0.29, 0.31] : color;
}

function brepMeshes(result) {
  return result.meshes.map((part) => {
    const geometry = new BufferGeometry();
    geometry.setAttribute('position', new Float32BufferAttribute(part.attributes.position.array, 3));
    if (part.attributes.normal) geometry.setAttribute('normal', new Float32BufferAttribute(part.attributes.normal.array, 3));
    geometry.setIndex(part.index.array);
    const mesh = meshOf(geometry);
    if (part.color) mesh.material.color.setRGB(...visibleColor(part.color));
    return mesh;
  });
}

// More placed shapes than this would stall the page for nothing anyone can see.
export const mostPlaced = 100_000;

// An assembly whose parts are files of their own is put together from the bundle. Each file
// is read once however often it is placed, and its shapes are drawn as instances of one
// geometry; sub-assemblies are worked out once too, and only placing them multiplies.
function readStepAssembly(reader, name, bytes, files, report) {
  const read = new Map();  // a file's bytes -> its node: the shapes it holds and its uses
  const open = new Set();  // the files being read: one that names itself is left out
  const resolved = new Set();
  const fileNode = (name, bytes) => {
    if (read.has(bytes)) return read.get(bytes);
    if (open.size > deepestNesting) throw new Error(`the assembly nests more than ${deepestNesting} levels deep`);
    open.add(bytes);
    const source = new TextDecoder('latin1').decode(bytes);
    const assembly = source.includes('DOCUMENT_FILE') ? assemblyOf(source) : { faces: true, uses: [] };
    // The CAD reader works out every occurrence of a file's own assembly, so a file that is
    // only structure is not given to it.
    let result = { success: false, meshes: [] };
    if (assembly.faces) {
      report(`Reading the shapes in ${name}`);
      result = reader.ReadStepFile(bytes, null);
      report.read(name);
    }
    if (!result.success && !assembly.uses.length) throw new Error('the CAD reader refused the file');
    const node = { meshes: result.success ? brepMeshes(result) : [], uses: assembly.uses };
    resolve(node);
    open.delete(bytes);
    read.set(bytes, node);
    return node;
  };
  // Each use of a part file becomes a use of that file's node.
  const resolve = (node) => {
    if (resolved.has(node)) return;
    resolved.add(node);
    node.meshes ??= [];
    node.uses = node.uses.filter((use) => {
      if (use.node) {
        resolve(use.node);
        return true;
      }
      const part = companion(files, use.file);
      if (!part || open.has(part)) return false;
      use.node = fileNode(use.file, part);
      return true;
    });
  };
  const top = fileNode(name, bytes);

  // How many shapes each node places, with all it uses; at most one more than the limit.
  const counts = new Map();
  const count = (node) => {
    if (!counts.has(node)) {
      counts.set(node, Math.min(node.uses.reduce((sum, use) => sum + count(use.node), node.meshes.length),
        Number.MAX_SAFE_INTEGER));
    }
    return counts.get(node);
  };
  const total = count(top);
  if (total > 1) report(`Placing ${Math.min(total, mostPlaced).toLocaleString('en')} shapes`);
  const placements = new Map();  // a shape -> the matrices it is placed with
  let placed = 0;
  const place = (node, matrix) => {
    for (const mesh of node.meshes) {
      if (placed === mostPlaced) return;
      if (!placements.has(mesh)) placements.set(mesh, []);
      placements.get(mesh).push(matrix);
      placed += 1;
    }
    for (const use of node.uses) {
      if (placed === mostPlaced) return;
      place(use.node, matrix.clone().multiply(use.matrix));
    }
  };
  place(top, new Matrix4());

  const group = new Group();
  for (const [mesh, matrices] of placements) {
    if (matrices.length === 1) {
      mesh.applyMatrix4(matrices[0]);
      group.add(mesh);
      continue;
    }
    const instances = new InstancedMesh(mesh.geometry, mesh.material, matrices.length);
    matrices.forEach((matrix, index) => instances.setMatrixAt(index, matrix));
    group.add(instances);
  }
  if (total > placed) {
    group.userData.notice = `This assembly places ${total.toLocaleString('en')} shapes; the first ` +
      `${placed.toLocaleString('en')} are shown.`;
  }
  return group;
}

async function readBrep(model, kind, report) {
  const reader = await loadOcct(report);
  const bytes = new Uint8Array(model.buffer);
  if (kind === 'step') return readStepAssembly(reader, model.name, bytes, model.files, report);
  report('Reading the shapes');
  const result = reader.ReadIgesFile(bytes, null);
  if (!result.success) throw new Error('the CAD reader refused the file');
  const group = new Group();
  for (const mesh of brepMeshes(result)) group.add(mesh);
  return group;
}

let ifc = null;
async function readIfc(model, report) {
  report('Loading the IFC reader');
  ifc ??= import(engine('web-ifc/web-ifc-api.js')).then(async ({ IfcAPI }) => {
    const api = new IfcAPI();
    api.SetWasmPath(engine('web-ifc/'), true);
    await api.Init();
    return api;
  }).catch(() => { ifc = null; throw new Error('the IFC reader could not be loaded'); });
  const api = await ifc;
  report('Reading the building');
  const modelID = api.OpenModel(new Uint8Array(model.buffer));
  const group = new Group();
  let shown = -1;
  try {
    api.StreamAllMeshes(modelID, (mesh, index, total) => {
      // A message per percent: more would only queue up on the page.
      const percent = Math.floor((100 * index) / Math.max(total, 1));
      if (percent > shown) {
        report('Making the building’s shapes', { done: index, total });
        shown = percent;
      }
      for (let i = 0; i < mesh.geometries.size(); i++) {
        const placed = mesh.geometries.get(i);
        const data = api.GetGeometry(modelID, placed.geometryExpressID);
        const vertices = api.GetVertexArray(data.GetVertexData(), data.GetVertexDataSize());
        const indices = api.GetIndexArray(data.GetIndexData(), data.GetIndexDataSize());
        const position = new Float32Array(vertices.length / 2), normal = new Float32Array(vertices.length / 2);
        for (let v = 0, at = 0; v < vertices.length; v += 6, at += 3) {
          position.set(vertices.subarray(v, v + 3), at);
          normal.set(vertices.subarray(v + 3, v + 6), at);
        }
        const geometry = new BufferGeometry();
        geometry.setAttribute('position', new BufferAttribute(position, 3));
        geometry.setAttribute('normal', new BufferAttribute(normal, 3));
        geometry.setIndex(new BufferAttribute(new Uint32Array(indices), 1));
        geometry.applyMatrix4(new Matrix4().fromArray(placed.flatTransformation));
        const part = meshOf(geometry);
        part.material.color.setRGB(placed.color.x, placed.color.y, placed.color.z);
        if (placed.color.w < 1) Object.assign(part.material, { transparent: true, opacity: placed.color.w });
        group.add(part);
        data.delete();
      }
    });
  } finally {
    api.CloseModel(modelID);
  }
  return group;
}

async function readPointCloud(model, report) {
  report('Reading the points');
  const cloud = await parse(model.buffer, LASLoader, { worker: false, las: { shape: 'mesh' } });
  const positions = cloud.attributes.POSITION.value;
  const color = cloud.attributes.COLOR_0;
  const colors = color ? new BufferAttribute(color.value, color.size, true) : null;
  return points(positions instanceof Float32Array ? positions : new Float32Array(positions), colors);
}

function arcPoints(center, radius, start, end) {
  const steps = 48, result = [];
  if (end < start) end += Math.PI * 2;
  for (let i = 0; i <= steps; i++) {
    const angle = start + ((end - start) * i) / steps;
    result.push([center.x + radius * Math.cos(angle), center.y + radius * Math.sin(angle), center.z || 0]);
  }
  return result;
}

function readDxf(model, report) {
  report('Reading the drawing');
  const drawing = new DxfParser().parseSync(text(model.buffer));
  const segments = [];
  const addPath = (vertices, closed) => {
    const path = vertices.map((v) => (Array.isArray(v) ? v : [v.x, v.y, v.z || 0]));
    if (closed && path.length > 2) path.push(path[0]);
    for (let i = 1; i < path.length; i++) segments.push(...path[i - 1], ...path[i]);
  };
  for (const entity of drawing.entities ?? []) {
    if (entity.type === 'LINE') addPath(entity.vertices, false);
    else if (entity.type === 'LWPOLYLINE' || entity.type === 'POLYLINE') addPath(entity.vertices, entity.shape);
    else if (entity.type === 'CIRCLE') addPath(arcPoints(entity.center, entity.radius, 0, Math.PI * 2), false);
    else if (entity.type === 'ARC') addPath(arcPoints(entity.center, entity.radius, entity.startAngle, entity.endAngle), false);
  }
  if (!segments.length) throw new Error('the drawing has no lines to show');
  const geometry = new BufferGeometry();
  geometry.setAttribute('position', new Float32BufferAttribute(segments, 3));
  return new LineSegments(geometry, new LineBasicMaterial({ color: 0x9fd3ff }));
}

const readers = {
  stl: (model, report) => {
    report('Reading the triangles');
    return meshOf(new STLLoader().parse(model.buffer));
  },
  ply: (model, report) => {
    report('Reading the polygons');
    const geometry = new PLYLoader().parse(model.buffer);
    if (geometry.index) return meshOf(geometry);
    return points(geometry.attributes.position.array, geometry.attributes.color ?? null);
  },
  step: (model, report) => readBrep(model, 'step', report),
  iges: (model, report) => readBrep(model, 'iges', report),
  ifc: readIfc,
  las: readPointCloud,
  dxf: readDxf,
};

function isZip(bytes) {
  return bytes[0] === 0x50 && bytes[1] === 0x4b && bytes[2] === 0x03 && bytes[3] === 0x04;
}

// A bundle is a zip with the model at its top level and the files it needs beside it; a zip that
// is an OPC package (3MF, DWFX) is a model of its own.
function unpack(name, buffer, report) {
  const bytes = new Uint8Array(buffer);
  if (!isZip(bytes)) return { name, buffer, files: new Map() };
  report('Unpacking the bundle');
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

// A buffer moves to the page whole; a view into a larger one (an engine's memory) is copied.
function movable(array, transfer) {
  if (array.byteOffset !== 0 || array.byteLength !== array.buffer.byteLength) array = array.slice();
  transfer.add(array.buffer);
  return array;
}

// The objects as plain data: each geometry once however many objects share it.
function pack(object, transfer, geometries = new Map()) {
  object.updateMatrix();
  const kind = object.isInstancedMesh ? 'instances' : object.isMesh ? 'mesh' : object.isPoints ? 'points'
    : object.isLineSegments ? 'lines' : 'group';
  const children = object.children.map((child) => pack(child, transfer, geometries));
  const item = { kind, matrix: object.matrix.toArray(), children };
  const { geometry, material } = object;
  if (geometry) {
    if (!geometries.has(geometry)) {
      const attributes = {};
      for (const [name, attribute] of Object.entries(geometry.attributes)) {
        attributes[name] = { array: movable(attribute.array, transfer), itemSize: attribute.itemSize,
          normalized: attribute.normalized };
      }
      geometries.set(geometry, { attributes, index: geometry.index && movable(geometry.index.array, transfer) });
    }
    item.geometry = geometries.get(geometry);
    item.material = { color: material.color.toArray(), vertexColors: material.vertexColors,
      opacity: material.transparent ? material.opacity : 1 };
  }
  if (object.isInstancedMesh) {
    item.count = object.count;
    item.instances = movable(object.instanceMatrix.array, transfer);
  }
  return item;
}

// What the page is answered: the objects, the model unread with its format, or why not.
export async function readFile(name, buffer, report) {
  const model = unpack(name, buffer, report);
  const format = formatOf(model.name);
  if (!format.readable) return { message: { unsupported: format.label, name: model.name }, transfer: [] };
  const reader = readers[format.reader];
  if (!reader) {
    const transfer = new Set([model.buffer, ...[...model.files.values()].map((bytes) => bytes.buffer)]);
    return { message: { model, format }, transfer: [...transfer] };
  }
  const object = await reader(model, report);
  const transfer = new Set();
  const packed = pack(object, transfer);
  packed.notice = object.userData.notice;
  return { message: { object: packed, format }, transfer: [...transfer] };
}

if (typeof WorkerGlobalScope !== 'undefined') {
  addEventListener('message', ({ data: { id, name, buffer } }) => {
    const report = (stage, extra = {}) => postMessage({ id, stage, ...extra });
    report.read = (file) => postMessage({ id, read: file });
    readFile(name, buffer, report).then(({ message, transfer }) => postMessage({ id, ...message }, transfer),
      (error) => postMessage({ id, error: String(error?.message ?? error) }));
  });
}
