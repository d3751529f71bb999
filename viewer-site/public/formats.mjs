// The readers that need the page (images, XML documents), and how what the model reader hands
// back becomes something three.js shows.
import * as THREE from 'three';
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
import { companion } from './format-names.mjs';

export { formatOf } from './format-names.mjs';

const surface = () => new THREE.MeshStandardMaterial({ color: 0xb8c4d6, metalness: 0.05, roughness: 0.6, side: THREE.DoubleSide });
const text = (buffer) => new TextDecoder().decode(buffer);

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

function parseWith(loader, data) {
  return new Promise((resolve, reject) => loader.parse(data, '', resolve, reject));
}

const readers = {
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
};

export async function readModel(format, model) {
  const object = await readers[format.reader](model);
  object.traverse((part) => {
    if (part.isMesh && !hasNormals(part.geometry)) part.geometry.computeVertexNormals();
  });
  return object;
}

// The model reader's objects (see pack in read-worker.mjs) as three.js objects; a geometry
// shared there is shared here too.
export function objectOf(item, geometries = new Map()) {
  const geometry = item.geometry && (geometries.get(item.geometry) ?? new THREE.BufferGeometry());
  if (geometry && !geometries.has(item.geometry)) {
    geometries.set(item.geometry, geometry);
    for (const [name, { array, itemSize, normalized }] of Object.entries(item.geometry.attributes)) {
      geometry.setAttribute(name, new THREE.BufferAttribute(array, itemSize, normalized));
    }
    if (item.geometry.index) geometry.setIndex(new THREE.BufferAttribute(item.geometry.index, 1));
  }
  const { color, vertexColors, opacity } = item.material ?? {};
  const looks = { color: color && new THREE.Color().fromArray(color), vertexColors, transparent: opacity < 1, opacity };
  const object = item.kind === 'group' ? new THREE.Group()
    : item.kind === 'points'
      ? new THREE.Points(geometry, new THREE.PointsMaterial({ ...looks, size: 3, sizeAttenuation: false }))
    : item.kind === 'lines' ? new THREE.LineSegments(geometry, new THREE.LineBasicMaterial(looks))
    : item.kind === 'instances' ? new THREE.InstancedMesh(geometry, surface(), item.count)
    : new THREE.Mesh(geometry, surface());
  if (item.kind === 'instances' || item.kind === 'mesh') object.material.setValues(looks);
  if (item.instances) object.instanceMatrix = new THREE.InstancedBufferAttribute(item.instances, 16);
  object.matrix.fromArray(item.matrix);
  object.matrix.decompose(object.position, object.quaternion, object.scale);
  for (const child of item.children) object.add(objectOf(child, geometries));
  if (item.notice) object.userData.notice = item.notice;
  return object;
}
