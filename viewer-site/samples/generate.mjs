// Writes the sample models: small files of our own, one per format the tests open.
// Run again after changing it: node samples/generate.mjs
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { deflateSync } from 'node:zlib';
import { zipSync, strToU8 } from 'three/examples/jsm/libs/fflate.module.js';
import { stepSolid } from './step-solid.mjs';

const out = (name, data) => writeFileSync(new URL(name, import.meta.url), data);

// A cube of side 2 around the origin as 12 triangles, outward facing.
const corners = [[-1, -1, -1], [1, -1, -1], [1, 1, -1], [-1, 1, -1], [-1, -1, 1], [1, -1, 1], [1, 1, 1], [-1, 1, 1]];
const quads = [[0, 3, 2, 1], [4, 5, 6, 7], [0, 1, 5, 4], [2, 3, 7, 6], [1, 2, 6, 5], [0, 4, 7, 3]];
const triangles = quads.flatMap(([a, b, c, d]) => [[a, b, c], [a, c, d]]);

out('cube.stl', ['solid cube', ...triangles.map((t) =>
  ['  facet normal 0 0 0', '    outer loop', ...t.map((i) => `      vertex ${corners[i].join(' ')}`),
   '    endloop', '  endfacet'].join('\n')), 'endsolid cube', ''].join('\n'));

out('cube.obj', ['# cube', ...corners.map((c) => `v ${c.join(' ')}`),
  ...quads.map((q) => `f ${q.map((i) => i + 1).join(' ')}`), ''].join('\n'));

out('cube.ply', ['ply', 'format ascii 1.0', `element vertex ${corners.length}`, 'property float x',
  'property float y', 'property float z', `element face ${quads.length}`, 'property list uchar int vertex_indices',
  'end_header', ...corners.map((c) => c.join(' ')), ...quads.map((q) => `4 ${q.join(' ')}`), ''].join('\n'));

out('cube.wrl', `#VRML V2.0 utf8
Shape {
  appearance Appearance { material Material { diffuseColor 0.8 0.5 0.2 } }
  geometry IndexedFaceSet {
    coord Coordinate { point [ ${corners.map((c) => c.join(' ')).join(', ')} ] }
    coordIndex [ ${quads.map((q) => `${q.join(', ')}, -1`).join(', ')} ]
  }
}
`);

out('cube.dae', `<?xml version="1.0" encoding="utf-8"?>
<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">
  <asset><unit name="meter" meter="1"/><up_axis>Y_UP</up_axis></asset>
  <library_geometries><geometry id="cube"><mesh>
    <source id="cube-positions"><float_array id="cube-array" count="24">${corners.flat().join(' ')}</float_array>
      <technique_common><accessor source="#cube-array" count="8" stride="3">
        <param name="X" type="float"/><param name="Y" type="float"/><param name="Z" type="float"/>
      </accessor></technique_common></source>
    <vertices id="cube-vertices"><input semantic="POSITION" source="#cube-positions"/></vertices>
    <triangles count="12"><input semantic="VERTEX" source="#cube-vertices" offset="0"/>
      <p>${triangles.flat().join(' ')}</p></triangles>
  </mesh></geometry></library_geometries>
  <library_visual_scenes><visual_scene id="scene"><node id="cube-node">
    <instance_geometry url="#cube"/></node></visual_scene></library_visual_scenes>
  <scene><instance_visual_scene url="#scene"/></scene>
</COLLADA>
`);

out('cube.3mf', zipSync({
  '[Content_Types].xml': strToU8(`<?xml version="1.0" encoding="UTF-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>
<Default Extension="model" ContentType="application/vnd.ms-package.3dmanufacturing-3dmodel+xml"/></Types>`),
  '_rels/.rels': strToU8(`<?xml version="1.0" encoding="UTF-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Target="/3D/3dmodel.model" Id="rel0" Type="http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel"/></Relationships>`),
  '3D/3dmodel.model': strToU8(`<?xml version="1.0" encoding="UTF-8"?>
<model unit="millimeter" xmlns="http://schemas.microsoft.com/3dmanufacturing/core/2015/02">
<resources><object id="1" type="model"><mesh><vertices>
${corners.map(([x, y, z]) => `<vertex x="${x}" y="${y}" z="${z}"/>`).join('\n')}
</vertices><triangles>
${triangles.map(([a, b, c]) => `<triangle v1="${a}" v2="${b}" v3="${c}"/>`).join('\n')}
</triangles></mesh></object></resources><build><item objectid="1"/></build></model>`),
}));

out('plan.dxf', ['0', 'SECTION', '2', 'ENTITIES',
  ...[[0, 0, 10, 0], [10, 0, 10, 6], [10, 6, 0, 6], [0, 6, 0, 0]].flatMap(([x1, y1, x2, y2]) =>
    ['0', 'LINE', '8', '0', '10', x1, '20', y1, '30', 0, '11', x2, '21', y2, '31', 0]),
  '0', 'CIRCLE', '8', '0', '10', 5, '20', 3, '30', 0, '40', 2,
  '0', 'ENDSEC', '0', 'EOF', ''].join('\n'));

// A LAS 1.2 point cloud (format 2, with colours): a coloured grid.
function las() {
  const grid = [];
  for (let i = 0; i < 20; i++) for (let j = 0; j < 20; j++) grid.push([i, j, Math.sin(i / 3) + Math.cos(j / 3)]);
  const header = Buffer.alloc(227), record = 26, scale = 0.01;
  header.write('LASF', 0);
  header.writeUInt8(1, 24); header.writeUInt8(2, 25);
  header.write('Vexmoor samples', 26);
  header.writeUInt16LE(227, 94); header.writeUInt32LE(227, 96); header.writeUInt32LE(0, 100);
  header.writeUInt8(2, 104); header.writeUInt16LE(record, 105); header.writeUInt32LE(grid.length, 107);
  header.writeUInt32LE(grid.length, 111);
  [scale, scale, scale, 0, 0, 0].forEach((v, k) => header.writeDoubleLE(v, 131 + 8 * k));
  const max = [19, 19, 2], min = [0, 0, -2];
  [max[0], min[0], max[1], min[1], max[2], min[2]].forEach((v, k) => header.writeDoubleLE(v, 179 + 8 * k));
  const points = Buffer.alloc(record * grid.length);
  grid.forEach(([x, y, z], n) => {
    const at = n * record;
    points.writeInt32LE(Math.round(x / scale), at); points.writeInt32LE(Math.round(y / scale), at + 4);
    points.writeInt32LE(Math.round(z / scale), at + 8);
    points.writeUInt16LE(Math.round((x / 19) * 65535), at + 20); points.writeUInt16LE(Math.round((y / 19) * 65535), at + 22);
    points.writeUInt16LE(40000, at + 24);
  });
  return Buffer.concat([header, points]);
}
out('terrain.las', las());

// A glTF quad whose texture is a separate red and white PNG, as a model beside its textures.
function png(width, height, pixel) {
  const crcTable = Array.from({ length: 256 }, (_, n) => {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    return c >>> 0;
  });
  const crc = (bytes) => { let c = ~0; for (const b of bytes) c = crcTable[(c ^ b) & 0xff] ^ (c >>> 8); return ~c >>> 0; };
  const chunk = (type, data) => {
    const body = Buffer.concat([Buffer.from(type), data]);
    const length = Buffer.alloc(4); length.writeUInt32BE(data.length);
    const sum = Buffer.alloc(4); sum.writeUInt32BE(crc(body));
    return Buffer.concat([length, body, sum]);
  };
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0); header.writeUInt32BE(height, 4); header[8] = 8; header[9] = 2;
  const rows = [];
  for (let y = 0; y < height; y++) rows.push(Buffer.from([0, ...Array.from({ length: width }, (_, x) => pixel(x, y)).flat()]));
  return Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), chunk('IHDR', header),
    chunk('IDAT', deflateSync(Buffer.concat(rows))), chunk('IEND', Buffer.alloc(0))]);
}
out('crimson.png', png(16, 16, () => [220, 20, 40]));
const quad = new Float32Array([-1, -1, 0, 1, -1, 0, 1, 1, 0, -1, 1, 0]);
const uv = new Float32Array([0, 1, 1, 1, 1, 0, 0, 0]);
const index = new Uint16Array([0, 1, 2, 0, 2, 3]);
const bin = Buffer.concat([Buffer.from(quad.buffer), Buffer.from(uv.buffer), Buffer.from(index.buffer)]);
const texturedQuad = (image, buffer) => JSON.stringify({
  asset: { version: '2.0', generator: 'Vexmoor samples' },
  scene: 0, scenes: [{ nodes: [0] }], nodes: [{ mesh: 0 }],
  meshes: [{ primitives: [{ attributes: { POSITION: 0, TEXCOORD_0: 1 }, indices: 2, material: 0 }] }],
  materials: [{ pbrMetallicRoughness: { baseColorTexture: { index: 0 }, metallicFactor: 0 }, doubleSided: true, emissiveFactor: [0, 0, 0] }],
  textures: [{ source: 0 }], images: [{ uri: image }],
  buffers: [{ byteLength: bin.length, uri: buffer }],
  bufferViews: [{ buffer: 0, byteOffset: 0, byteLength: 48 }, { buffer: 0, byteOffset: 48, byteLength: 32 },
    { buffer: 0, byteOffset: 80, byteLength: 12 }],
  accessors: [
    { bufferView: 0, componentType: 5126, count: 4, type: 'VEC3', min: [-1, -1, 0], max: [1, 1, 0] },
    { bufferView: 1, componentType: 5126, count: 4, type: 'VEC2' },
    { bufferView: 2, componentType: 5123, count: 6, type: 'SCALAR' }],
}, null, 1);
out('textured.gltf', texturedQuad('crimson.png', `data:application/octet-stream;base64,${bin.toString('base64')}`));
// The same quad as most tools export glTF: buffer in a file beside it, texture in a folder.
mkdirSync(new URL('separate/textures/', import.meta.url), { recursive: true });
out('separate/scene.gltf', texturedQuad('textures/crimson%20red.png', 'scene0.bin'));
out('separate/scene0.bin', bin);
out('separate/textures/crimson red.png', png(16, 16, () => [220, 20, 40]));
// The same model as a .max bundle would carry it: the model at the top, textures beside.
const sample = (name) => new Uint8Array(readFileSync(new URL(name, import.meta.url)));
out('textured-bundle.zip', zipSync({ 'textured.gltf': sample('textured.gltf'),
  'textures/crimson.png': sample('crimson.png') }, { level: 0 }));

// A 40 x 20 x 10 block.
out('part.step', stepSolid('block', corners.map((c) => c.map((v, k) => ((v + 1) / 2) * [40, 20, 10][k])), quads));
out('wall.ifc', ifc());

// An IFC 2x3 file with one wall: a 5 m x 0.3 m x 3 m extruded rectangle.
function ifc() {
  return `ISO-10303-21;
HEADER;
FILE_DESCRIPTION(('ViewDefinition [CoordinationView]'),'2;1');
FILE_NAME('wall.ifc','2026-12-06T00:00:00',(''),(''),'','','');
FILE_SCHEMA(('IFC2X3'));
ENDSEC;
DATA;
#1=IFCPERSON($,$,'',$,$,$,$,$);
#2=IFCORGANIZATION($,'Vexmoor',$,$,$);
#3=IFCPERSONANDORGANIZATION(#1,#2,$);
#4=IFCAPPLICATION(#2,'1.0','Vexmoor samples','samples');
#5=IFCOWNERHISTORY(#3,#4,$,.ADDED.,$,$,$,0);
#6=IFCSIUNIT(*,.LENGTHUNIT.,$,.METRE.);
#7=IFCUNITASSIGNMENT((#6));
#8=IFCCARTESIANPOINT((0.,0.,0.));
#9=IFCDIRECTION((0.,0.,1.));
#10=IFCDIRECTION((1.,0.,0.));
#11=IFCAXIS2PLACEMENT3D(#8,#9,#10);
#12=IFCGEOMETRICREPRESENTATIONCONTEXT($,'Model',3,1.E-05,#11,$);
#13=IFCPROJECT('0YvctVUKr0kugbFTf53O9L',#5,'Sample',$,$,$,$,(#12),#7);
#14=IFCLOCALPLACEMENT($,#11);
#15=IFCSITE('2YvctVUKr0kugbFTf53O9L',#5,'Site',$,$,#14,$,$,.ELEMENT.,$,$,$,$,$);
#16=IFCRELAGGREGATES('3YvctVUKr0kugbFTf53O9L',#5,$,$,#13,(#15));
#17=IFCCARTESIANPOINT((0.,0.));
#18=IFCAXIS2PLACEMENT2D(#17,$);
#19=IFCRECTANGLEPROFILEDEF(.AREA.,$,#18,5.,0.3);
#20=IFCEXTRUDEDAREASOLID(#19,#11,#9,3.);
#21=IFCSHAPEREPRESENTATION(#12,'Body','SweptSolid',(#20));
#22=IFCPRODUCTDEFINITIONSHAPE($,$,(#21));
#23=IFCLOCALPLACEMENT(#14,#11);
#24=IFCWALLSTANDARDCASE('1YvctVUKr0kugbFTf53O9L',#5,'Wall',$,$,#23,#22,$);
#25=IFCRELCONTAINEDINSPATIALSTRUCTURE('4YvctVUKr0kugbFTf53O9L',#5,$,$,(#24),#15);
ENDSEC;
END-ISO-10303-21;
`;
}

// The textured quad again as one binary glTF, its PNG inside.
function glb() {
  const image = readFileSync(new URL('crimson.png', import.meta.url));
  const padded = (buffer, fill) => Buffer.concat([buffer, Buffer.alloc((4 - (buffer.length % 4)) % 4, fill)]);
  const binary = padded(Buffer.concat([bin, image]), 0);
  const json = padded(Buffer.from(JSON.stringify({
    asset: { version: '2.0', generator: 'Vexmoor samples' },
    scene: 0, scenes: [{ nodes: [0] }], nodes: [{ mesh: 0 }],
    meshes: [{ primitives: [{ attributes: { POSITION: 0, TEXCOORD_0: 1 }, indices: 2, material: 0 }] }],
    materials: [{ pbrMetallicRoughness: { baseColorTexture: { index: 0 }, metallicFactor: 0 }, doubleSided: true }],
    textures: [{ source: 0 }], images: [{ bufferView: 3, mimeType: 'image/png' }],
    buffers: [{ byteLength: binary.length }],
    bufferViews: [{ buffer: 0, byteOffset: 0, byteLength: 48 }, { buffer: 0, byteOffset: 48, byteLength: 32 },
      { buffer: 0, byteOffset: 80, byteLength: 12 }, { buffer: 0, byteOffset: 92, byteLength: image.length }],
    accessors: [
      { bufferView: 0, componentType: 5126, count: 4, type: 'VEC3', min: [-1, -1, 0], max: [1, 1, 0] },
      { bufferView: 1, componentType: 5126, count: 4, type: 'VEC2' },
      { bufferView: 2, componentType: 5123, count: 6, type: 'SCALAR' }],
  })), 0x20);
  const header = Buffer.alloc(12);
  header.write('glTF', 0); header.writeUInt32LE(2, 4); header.writeUInt32LE(12 + 8 + json.length + 8 + binary.length, 8);
  const chunk = (type, data) => {
    const head = Buffer.alloc(8);
    head.writeUInt32LE(data.length, 0); head.write(type, 4);
    return Buffer.concat([head, data]);
  };
  return Buffer.concat([header, chunk('JSON', json), chunk('BIN\0', binary)]);
}
out('textured.glb', glb());

// A 3D Studio mesh: the cube as one object of vertices and faces.
function tds() {
  const chunk = (id, ...parts) => {
    const data = Buffer.concat(parts);
    const head = Buffer.alloc(6);
    head.writeUInt16LE(id, 0); head.writeUInt32LE(6 + data.length, 2);
    return Buffer.concat([head, data]);
  };
  const vertices = Buffer.alloc(2 + corners.length * 12);
  vertices.writeUInt16LE(corners.length, 0);
  corners.flat().forEach((v, k) => vertices.writeFloatLE(v, 2 + 4 * k));
  const faces = Buffer.alloc(2 + triangles.length * 8);
  faces.writeUInt16LE(triangles.length, 0);
  triangles.forEach((t, k) => { t.forEach((v, j) => faces.writeUInt16LE(v, 2 + 8 * k + 2 * j)); faces.writeUInt16LE(7, 8 + 8 * k); });
  const mesh = chunk(0x4100, chunk(0x4110, vertices), chunk(0x4120, faces));
  return chunk(0x4d4d, chunk(0x0002, Buffer.from([3, 0, 0, 0])), chunk(0x3d3d, chunk(0x4000, Buffer.from('cube\0'), mesh)));
}
out('cube.3ds', tds());

// FBX in its text form: one cube geometry, one model, connected to the scene.
out('cube.fbx', `; FBX 7.3.0 project file
FBXHeaderExtension:  {
	FBXHeaderVersion: 1003
	FBXVersion: 7300
}
GlobalSettings:  {
	Version: 1000
}
Objects:  {
	Geometry: 100, "Geometry::cube", "Mesh" {
		Vertices: *24 {
			a: ${corners.flat().join(',')}
		}
		PolygonVertexIndex: *24 {
			a: ${quads.map((q) => [q[0], q[1], q[2], -q[3] - 1].join(',')).join(',')}
		}
		GeometryVersion: 124
	}
	Model: 200, "Model::cube", "Mesh" {
		Version: 232
	}
}
Connections:  {
	C: "OO",200,0
	C: "OO",100,200
}
`);

// IGES: one flat B-spline surface patch, 4 x 3 units.
function iges() {
  const field = (text, width) => text.padEnd(width).slice(0, width);
  const line = (text, section, number) => `${field(text, 72)}${section}${String(number).padStart(7)}`;
  const start = [line('Vexmoor sample surface', 'S', 1)];
  const globalText = "1H,,1H;,6Hsample,9Hplane.igs,7HVexmoor,3H1.0,32,38,6,308,15,6Hsample,1.,2,2HMM,1,1.,15H20261206.000000,1.E-06,10.,7HVexmoor,7HVexmoor,11,0;";
  const global = globalText.match(/.{1,72}/g).map((text, k) => line(text, 'G', k + 1));
  const surface = '128,1,1,1,1,0,0,1,0,0,0.,0.,1.,1.,0.,0.,1.,1.,1.,1.,1.,1.,0.,0.,0.,4.,0.,0.,0.,3.,0.,4.,3.,0.,0.,1.,0.,1.;';
  const parameters = surface.match(/.{1,64}/g);
  const entry = (a, b) => line(a.map((v) => String(v).padStart(8)).join(''), 'D', b);
  const directory = [entry([128, 1, 0, 0, 0, 0, 0, 0, '00000000'], 1), entry([128, 0, 0, parameters.length, 0, '', '', '', 0], 2)];
  const data = parameters.map((text, k) => line(`${text.padEnd(64)}${String(1).padStart(8)}`, 'P', k + 1));
  const terminate = line(`S${String(start.length).padStart(7)}G${String(global.length).padStart(7)}D${String(directory.length).padStart(7)}P${String(data.length).padStart(7)}`, 'T', 1);
  return [...start, ...global, ...directory, ...data, terminate, ''].join('\n');
}
out('plane.igs', iges());

// A Rhino model holding the cube as a mesh, written by rhino3dm itself.
const { default: rhino3dm } = await import('three/examples/jsm/libs/rhino3dm/rhino3dm.module.js');
const rhino = await rhino3dm();
const document3dm = new rhino.File3dm();
const rhinoMesh = new rhino.Mesh();
for (const [x, y, z] of corners) rhinoMesh.vertices().add(x, y, z);
for (const [a, b, c, d] of quads) rhinoMesh.faces().addQuadFace(a, b, c, d);
rhinoMesh.normals().computeNormals();
document3dm.objects().add(rhinoMesh, null);
out('cube.3dm', document3dm.toByteArray());
