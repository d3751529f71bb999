// Which engine reads which format, and how its result becomes something three.js shows.
import * as THREE from 'three';
import { STLLoader } from 'three/addons/loaders/STLLoader.js';
import { PLYLoader } from 'three/addons/loaders/PLYLoader.js';
import { OBJLoader } from 'three/addons/loaders/OBJLoader.js';
import { MTLLoader } from 'three/addons/loaders/MTLLoader.js';
import { GLTFLoader } from 'three/addons/loaders/GLTFLoader.js';
import { ThreeMFLoader } from 'three/addons/loaders/3MFLoader.js';
import { ColladaLoader } from 'three/addons/loaders/ColladaLoader.js';
import { FBXLoader } from 'three/addons/loaders/FBXLoader.js';
import { TDSLoader } from 'three/addons/loaders/TDSLoader.js';
import { VRMLLoader } from 'three/addons/loaders/VRMLLoader.js';
import { Rhino3dmLoader } from 'three/addons/loaders/3DMLoader.js';
import { gunzipSync } from 'three/addons/libs/fflate.module.js';
import { assemblyOf, deepestNesting } from './step-assembly.mjs';

const surface = () => new THREE.MeshStandardMaterial({ color: 0xb8c4d6, metalness: 0.05, roughness: 0.6, side: THREE.DoubleSide });
const text = (buffer) => new TextDecoder().decode(buffer);

// A file the model names, from the bundle: by the path it is named by, else by its name
// alone (exporters write paths of the machine they ran on).
export function companion(files, reference) {
  let path = reference.split('?')[0].replace(/\\/g, '/');
  try { path = decodeURIComponent(path); } catch { /* kept as written */ }
  path = path.replace(/^(\.\/)+/, '').toLowerCase();
  return files.get(path) ?? files.get(path.split('/').pop());
}

function managerFor(files) {
  const manager = new THREE.LoadingManager();
  const urls = new Map();
  manager.setURLModifier((url) => {
    const bytes = companion(files, url);
    if (!bytes) return url;
    if (!urls.has(bytes)) urls.set(bytes, URL.createObjectURL(new Blob([bytes])));
    return urls.get(bytes);
  });
  return manager;
}

// Normals missing or all zero (many STL writers leave them so) would render the model black.
function hasNormals(geometry) {
  const normals = geometry.attributes.normal?.array;
  return normals?.some((value) => value !== 0) ?? false;
}

function meshOf(geometry) {
  if (!hasNormals(geometry)) geometry.computeVertexNormals();
  const material = surface();
  if (geometry.attributes.color) material.vertexColors = true;
  return new THREE.Mesh(geometry, material);
}

function points(positions, colors) {
  const geometry = new THREE.BufferGeometry();
  geometry.setAttribute('position', new THREE.BufferAttribute(positions, 3));
  const material = new THREE.PointsMaterial({ size: 3, sizeAttenuation: false, color: colors ? 0xffffff : 0x9fd3ff });
  if (colors) {
    geometry.setAttribute('color', colors);
    material.vertexColors = true;
  }
  return new THREE.Points(geometry, material);
}

let occt = null;
function loadOcct() {
  occt ??= new Promise((resolve, reject) => {
    const script = document.createElement('script');
    script.src = '../vendor/occt/occt-import-js.js';
    script.onload = () => window.occtimportjs({ locateFile: (file) => `../vendor/occt/${file}` }).then(resolve, reject);
    script.onerror = () => reject(new Error('the STEP and IGES reader could not be loaded'));
    document.head.append(script);
  });
  return occt;
}

// A part coloured black (some CAD exports do) would vanish into the dark background.
function visibleColor(color) {
  const [r, g, b] = color;
  return Math.max(r, g, b) < 0.12 ? [0.28, 0.29, 0.31] : color;
}

function brepMeshes(result) {
  return result.meshes.map((part) => {
    const geometry = new THREE.BufferGeometry();
    geometry.setAttribute('position', new THREE.Float32BufferAttribute(part.attributes.position.array, 3));
    if (part.attributes.normal) geometry.setAttribute('normal', new THREE.Float32BufferAttribute(part.attributes.normal.array, 3));
    geometry.setIndex(part.index.array);
    const mesh = meshOf(geometry);
    if (part.color) mesh.material.color.setRGB(...visibleColor(part.color));
    return mesh;
  });
}

function brepGroup(result) {
  const group = new THREE.Group();
  for (const mesh of brepMeshes(result)) group.add(mesh);
  return group;
}

// More placed shapes than this would stall the page for nothing anyone can see.
export const mostPlaced = 100_000;

// An assembly whose parts are files of their own is put together from the bundle. Each file
// is read once however often it is placed, and its shapes are drawn as instances of one
// geometry; sub-assemblies are worked out once too, and only placing them multiplies.
function readStepAssembly(reader, name, bytes, files) {
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
      result = reader.ReadStepFile(bytes, null);
      performance.mark('step-file-read', { detail: name });
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
  place(top, new THREE.Matrix4());

  const group = new THREE.Group();
  for (const [mesh, matrices] of placements) {
    if (matrices.length === 1) {
      mesh.applyMatrix4(matrices[0]);
      group.add(mesh);
      continue;
    }
    const instances = new THREE.InstancedMesh(mesh.geometry, mesh.material, matrices.length);
    matrices.forEach((matrix, index) => instances.setMatrixAt(index, matrix));
    group.add(instances);
  }
  const total = count(top);
  if (total > placed) {
    group.userData.notice = `This assembly places ${total.toLocaleString('en')} shapes; the first ` +
      `${placed.toLocaleString('en')} are shown.`;
  }
  return group;
}

async function readBrep(model, kind) {
  const reader = await loadOcct();
  const bytes = new Uint8Array(model.buffer);
  if (kind === 'step') return readStepAssembly(reader, model.name, bytes, model.files);
  const result = reader.ReadIgesFile(bytes, null);
  if (!result.success) throw new Error('the CAD reader refused the file');
  return brepGroup(result);
}

async function readIfc(model) {
  const { IfcAPI } = await import('web-ifc');
  const api = new IfcAPI();
  api.SetWasmPath('../vendor/web-ifc/', true);
  await api.Init();
  const modelID = api.OpenModel(new Uint8Array(model.buffer));
  const group = new THREE.Group();
  api.StreamAllMeshes(modelID, (mesh) => {
    for (let i = 0; i < mesh.geometries.size(); i++) {
      const placed = mesh.geometries.get(i);
      const data = api.GetGeometry(modelID, placed.geometryExpressID);
      const vertices = api.GetVertexArray(data.GetVertexData(), data.GetVertexDataSize());
      const indices = api.GetIndexArray(data.GetIndexData(), data.GetIndexDataSize());
      const interleaved = new THREE.InterleavedBuffer(new Float32Array(vertices), 6);
      const geometry = new THREE.BufferGeometry();
      geometry.setAttribute('position', new THREE.InterleavedBufferAttribute(interleaved, 3, 0));
      geometry.setAttribute('normal', new THREE.InterleavedBufferAttribute(interleaved, 3, 3));
      geometry.setIndex(new THREE.BufferAttribute(new Uint32Array(indices), 1));
      geometry.applyMatrix4(new THREE.Matrix4().fromArray(placed.flatTransformation));
      const part = meshOf(geometry);
      part.material.color.setRGB(placed.color.x, placed.color.y, placed.color.z);
      if (placed.color.w < 1) Object.assign(part.material, { transparent: true, opacity: placed.color.w });
      group.add(part);
      data.delete();
    }
  });
  api.CloseModel(modelID);
  return group;
}

async function readPointCloud(model) {
  const { parse, LASLoader } = await import('vexmoor-vendor');
  const cloud = await parse(model.buffer, LASLoader, { worker: false, las: { shape: 'mesh' } });
  const positions = cloud.attributes.POSITION.value;
  const color = cloud.attributes.COLOR_0;
  const colors = color ? new THREE.BufferAttribute(color.value, color.size, true) : null;
  return points(positions instanceof Float32Array ? positions : new Float32Array(positions), colors);
}

function arcPoints(center, radius, start, end) {
  const steps = 48, result = [];
  if (end < start) end += Math.PI * 2;
  for (let i = 0; i <= steps; i++) {
    const angle = start + ((end - start) * i) / steps;
    result.push(new THREE.Vector3(center.x + radius * Math.cos(angle), center.y + radius * Math.sin(angle), center.z || 0));
  }
  return result;
}

async function readDxf(model) {
  const { DxfParser } = await import('vexmoor-vendor');
  const drawing = new DxfParser().parseSync(text(model.buffer));
  const segments = [];
  const addPath = (vertices, closed) => {
    const path = vertices.map((v) => new THREE.Vector3(v.x, v.y, v.z || 0));
    if (closed && path.length > 2) path.push(path[0]);
    for (let i = 1; i < path.length; i++) segments.push(path[i - 1], path[i]);
  };
  for (const entity of drawing.entities ?? []) {
    if (entity.type === 'LINE') addPath(entity.vertices, false);
    else if (entity.type === 'LWPOLYLINE' || entity.type === 'POLYLINE') addPath(entity.vertices, entity.shape);
    else if (entity.type === 'CIRCLE') addPath(arcPoints(entity.center, entity.radius, 0, Math.PI * 2), false);
    else if (entity.type === 'ARC') addPath(arcPoints(entity.center, entity.radius, entity.startAngle, entity.endAngle), false);
  }
  if (!segments.length) throw new Error('the drawing has no lines to show');
  const geometry = new THREE.BufferGeometry().setFromPoints(segments);
  return new THREE.LineSegments(geometry, new THREE.LineBasicMaterial({ color: 0x9fd3ff }));
}

function parseWith(loader, data) {
  return new Promise((resolve, reject) => loader.parse(data, '', resolve, reject));
}

const readers = {
  stl: (model) => meshOf(new STLLoader().parse(model.buffer)),
  ply: (model) => {
    const geometry = new PLYLoader().parse(model.buffer);
    if (geometry.index) return meshOf(geometry);
    const colors = geometry.attributes.color ?? null;
    return points(geometry.attributes.position.array, colors);
  },
  obj: async (model) => {
    const manager = managerFor(model.files);
    const loader = new OBJLoader(manager);
    const source = text(model.buffer);
    const library = source.match(/^mtllib\s+(.+)$/m)?.[1]?.trim();
    const materialText = library && companion(model.files, library);
    if (materialText) {
      const materials = new MTLLoader(manager).parse(text(materialText), '');
      materials.preload();
      loader.setMaterials(materials);
    }
    return loader.parse(source);
  },
  gltf: async (model) => (await parseWith(new GLTFLoader(managerFor(model.files)), model.buffer)).scene,
  '3mf': (model) => new ThreeMFLoader().parse(model.buffer),
  dae: (model) => new ColladaLoader(managerFor(model.files)).parse(text(model.buffer), '').scene,
  fbx: (model) => new FBXLoader(managerFor(model.files)).parse(model.buffer, ''),
  '3ds': (model) => new TDSLoader(managerFor(model.files)).parse(model.buffer, ''),
  wrl: (model) => {
    const bytes = new Uint8Array(model.buffer);
    const source = bytes[0] === 0x1f && bytes[1] === 0x8b ? gunzipSync(bytes) : bytes;
    return new VRMLLoader(managerFor(model.files)).parse(text(source), '');
  },
  '3dm': (model) => {
    const loader = new Rhino3dmLoader();
    loader.setLibraryPath('../vendor/three/examples/jsm/libs/rhino3dm/');
    return new Promise((resolve, reject) => loader.parse(model.buffer, resolve, reject));
  },
  step: (model) => readBrep(model, 'step'),
  iges: (model) => readBrep(model, 'iges'),
  ifc: readIfc,
  las: readPointCloud,
  dxf: readDxf,
};

const formats = {
  stl: ['stl', 'STL'], ply: ['ply', 'PLY'], obj: ['obj', 'OBJ'], gltf: ['gltf', 'glTF'], glb: ['gltf', 'glTF Binary'],
  '3mf': ['3mf', '3MF'], dae: ['dae', 'COLLADA'], fbx: ['fbx', 'FBX'], '3ds': ['3ds', '3D Studio'],
  wrl: ['wrl', 'VRML'], vrml: ['wrl', 'VRML'], wrz: ['wrl', 'VRML'], '3dm': ['3dm', 'Rhino 3D'],
  step: ['step', 'STEP'], stp: ['step', 'STEP'], iges: ['iges', 'IGES'], igs: ['iges', 'IGES'],
  ifc: ['ifc', 'IFC'], las: ['las', 'LAS'], laz: ['las', 'LAZ'], dxf: ['dxf', 'DXF'],
  skp: [null, 'SketchUp'], dwg: [null, 'AutoCAD DWG'], max: [null, '3ds Max'], x3d: [null, 'X3D'],
  x3dv: [null, 'X3D'], dwf: [null, 'DWF'], dwfx: [null, 'DWFx'],
};

export function formatOf(name) {
  const extension = name.includes('.') ? name.split('.').pop().toLowerCase() : '';
  const [reader, label] = formats[extension] ?? [null, extension ? extension.toUpperCase() : 'unknown'];
  return { reader, label, readable: reader !== null };
}

export async function readModel(format, model) {
  const object = await readers[format.reader](model);
  object.traverse((part) => {
    if (part.isMesh && !hasNormals(part.geometry)) part.geometry.computeVertexNormals();
  });
  return object;
}
