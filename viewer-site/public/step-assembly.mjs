// The parts of a STEP assembly that live in files of their own (DOCUMENT_FILE references):
// which file each occurrence shows and where the assembly places it.

// A worker has no import map: there three.js comes from the bundle beside the engines.
const { Matrix4, Vector3 } =
  await import(typeof WorkerGlobalScope === 'undefined' ? 'three' : '../vendor/bundle/vendor.js');

// One value of an entity's parameter list: a list, a string, a reference, a typed value or
// a plain token (number, enumeration, $, *).
function parseValue(text, at) {
  while (/\s/.test(text[at])) at++;
  if (text[at] === '(') {
    const list = [];
    at++;
    for (;;) {
      while (/[\s,]/.test(text[at])) at++;
      if (text[at] === ')' || at >= text.length) return [list, at + 1];
      const [value, next] = parseValue(text, at);
      list.push(value);
      at = next;
    }
  }
  if (text[at] === "'") {
    let value = '';
    for (at++; at < text.length; at++) {
      if (text[at] === "'" && text[at + 1] === "'") { value += "'"; at++; } else if (text[at] === "'") break;
      else value += text[at];
    }
    return [{ string: value }, at + 1];
  }
  const token = /^[^\s,()']*/.exec(text.slice(at, at + 256))[0];
  at += token.length;
  while (/\s/.test(text[at])) at++;
  if (/^[A-Z_][A-Z0-9_]*$/i.test(token) && text[at] === '(') {
    const [args, next] = parseValue(text, at);
    return [{ type: token.toUpperCase(), args }, next];
  }
  return [token.startsWith('#') ? { ref: Number(token.slice(1)) } : token, at];
}

// The instances of the DATA section by number: each a map of its types (a complex instance
// has several) to their parameters.
export function parseStep(source) {
  const data = source.slice(source.indexOf('DATA;') + 5);
  const entities = new Map();
  let statement = '', quoted = false;
  for (const c of data) {
    if (c === "'") quoted = !quoted;
    if (c !== ';' || quoted) { statement += c; continue; }
    const match = /^\s*#(\d+)\s*=\s*/.exec(statement);
    if (match) {
      const body = statement.slice(match[0].length);
      const [value] = parseValue(body.trim().startsWith('(') ? body : `(${body})`, 0);
      const parts = new Map();
      for (const part of value) if (part?.type) parts.set(part.type, part.args);
      entities.set(Number(match[1]), parts);
    }
    statement = '';
  }
  return entities;
}

const numbers = (list) => list.map(Number);

// Millimetres per unit of the file's lengths (the reader gives parts in millimetres).
function lengthScale(entities) {
  for (const parts of entities.values()) {
    if (!parts.has('LENGTH_UNIT')) continue;
    const si = parts.get('SI_UNIT');
    if (si) return { '.MILLI.': 1, '.CENTI.': 10, '.DECI.': 100, '.KILO.': 1e6 }[si[0]] ?? 1000;
    const named = parts.get('CONVERSION_BASED_UNIT')?.[0]?.string?.toUpperCase();
    return { INCH: 25.4, FOOT: 304.8 }[named] ?? 1;
  }
  return 1;
}

function placement(entities, ref, scale) {
  const [, location, axis, direction] = entities.get(ref?.ref)?.get('AXIS2_PLACEMENT_3D') ?? [];
  const point = entities.get(location?.ref)?.get('CARTESIAN_POINT')?.[1] ?? [0, 0, 0];
  const z = new Vector3(...numbers(entities.get(axis?.ref)?.get('DIRECTION')?.[1] ?? [0, 0, 1])).normalize();
  const xHint = new Vector3(...numbers(entities.get(direction?.ref)?.get('DIRECTION')?.[1] ?? [1, 0, 0]));
  const x = xHint.sub(z.clone().multiplyScalar(xHint.dot(z))).normalize();
  const y = new Vector3().crossVectors(z, x);
  const origin = new Vector3(...numbers(point)).multiplyScalar(scale);
  return new Matrix4().makeBasis(x, y, z).setPosition(origin);
}

// Entities that bound a shape with faces: a file without any has nothing of its own to draw.
const faceTypes = new Set(['ADVANCED_FACE', 'FACE_SURFACE', 'FACE', 'ORIENTED_FACE', 'SUBFACE', 'POLY_LOOP',
  'TRIANGULATED_FACE', 'COMPLEX_TRIANGULATED_FACE', 'TRIANGULATED_SURFACE_SET', 'COMPLEX_TRIANGULATED_SURFACE_SET',
  'TESSELLATED_SHELL', 'TESSELLATED_SOLID', 'TESSELLATED_SURFACE_SET']);

// Nesting beyond any real assembly's; deeper would only exhaust the stack.
export const deepestNesting = 256;

// The parts of an assembly kept in files of their own, as a graph of sub-assemblies: each
// node lists its uses, a part file's name or another node, with the matrix that places it.
// A sub-assembly used many times is one node, worked out once; placing is left to the reader.
export function assemblyOf(source) {
  const entities = parseStep(source);
  const scale = lengthScale(entities);
  const fileOf = new Map();  // product definition -> document file name
  const usesOf = new Map();  // parent -> [child, usage]
  const shapeOf = new Map();  // usage -> its transformation
  let faces = false;
  for (const [id, parts] of entities) {
    for (const type of parts.keys()) faces ||= faceTypes.has(type);
    const reference = parts.get('APPLIED_DOCUMENT_REFERENCE');
    const name = reference && entities.get(reference[0]?.ref)?.get('DOCUMENT_FILE')?.[0]?.string;
    if (name) for (const item of reference[2] ?? []) fileOf.set(item.ref, name);
    const usage = parts.get('NEXT_ASSEMBLY_USAGE_OCCURRENCE');
    if (usage) {
      if (!usesOf.has(usage[3]?.ref)) usesOf.set(usage[3]?.ref, []);
      usesOf.get(usage[3]?.ref).push([usage[4]?.ref, id]);
    }
    const shape = parts.get('CONTEXT_DEPENDENT_SHAPE_REPRESENTATION');
    if (shape) {
      const relation = entities.get(shape[0]?.ref);
      const transformation = relation?.get('REPRESENTATION_RELATIONSHIP_WITH_TRANSFORMATION')?.[0];
      const item = entities.get(transformation?.ref)?.get('ITEM_DEFINED_TRANSFORMATION');
      const definition = entities.get(shape[1]?.ref)?.get('PRODUCT_DEFINITION_SHAPE')?.[2];
      if (item && definition) {
        const inner = placement(entities, item[2], scale), outer = placement(entities, item[3], scale);
        shapeOf.set(definition.ref, outer.multiply(inner.invert()));
      }
    }
  }
  const nodes = new Map();
  const open = new Set();  // the sub-assemblies being worked out: one using itself is left out
  const nodeOf = (definition) => {
    if (nodes.has(definition)) return nodes.get(definition);
    if (open.size > deepestNesting) throw new Error(`the assembly nests more than ${deepestNesting} levels deep`);
    open.add(definition);
    const node = { uses: [] };
    for (const [child, usage] of usesOf.get(definition)) {
      const matrix = shapeOf.get(usage) ?? new Matrix4();
      if (fileOf.has(child)) node.uses.push({ file: fileOf.get(child), matrix });
      else if (usesOf.has(child) && !open.has(child)) node.uses.push({ node: nodeOf(child), matrix });
    }
    open.delete(definition);
    nodes.set(definition, node);
    return node;
  };
  const children = new Set([...usesOf.values()].flat().map(([child]) => child));
  const roots = [...usesOf.keys()].filter((parent) => !children.has(parent));
  return { faces, uses: roots.map((root) => ({ node: nodeOf(root), matrix: new Matrix4() })) };
}
