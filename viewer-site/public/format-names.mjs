// Which reader a file's name leads to, and the files a model names; shared by the page and the
// model reader, so nothing here may import.

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

// A file the model names, from the bundle: by the path it is named by, else by its name
// alone (exporters write paths of the machine they ran on).
export function companion(files, reference) {
  let path = reference.split('?')[0].replace(/\\/g, '/');
  try { path = decodeURIComponent(path); } catch { /* kept as written */ }
  path = path.replace(/^(\.\/)+/, '').toLowerCase();
  return files.get(path) ?? files.get(path.split('/').pop());
}
