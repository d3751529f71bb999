// What the model reader needs beside its own modules, bundled into build/vendor.js: a module
// worker has no import map, so it loads everything from this one file.
export { parse } from '@loaders.gl/core';
export { LASLoader } from '@loaders.gl/las';
export { default as DxfParser } from 'dxf-parser';
export { default as occtimportjs } from 'occt-import-js';
export { BufferAttribute, BufferGeometry, Float32BufferAttribute, Group, InstancedMesh, LineBasicMaterial, LineSegments,
  Matrix4, Mesh, MeshStandardMaterial, Points, PointsMaterial, Vector3 } from 'three';
export { STLLoader } from 'three/addons/loaders/STLLoader.js';
export { PLYLoader } from 'three/addons/loaders/PLYLoader.js';
export { unzipSync } from 'three/addons/libs/fflate.module.js';
