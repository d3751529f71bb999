// An ISO 10303-21 file (AP214) holding one part: a solid bounded by planar faces, each given
// as a loop of corner indices, anticlockwise seen from outside.
export function stepSolid(name, points, faces, digits = 1) {
  const lines = [];
  let next = 1;
  const add = (text) => { lines.push(`#${next}=${text};`); return `#${next++}`; };
  const numbers = (values) => values.map((v) => v.toFixed(digits)).join(',');
  const dir = (d) => add(`DIRECTION('',(${numbers(d)}))`);
  const point = (c) => add(`CARTESIAN_POINT('',(${numbers(c)}))`);
  const vertices = points.map((c) => add(`VERTEX_POINT('',${point(c)})`));
  const edges = new Map();
  const edge = (a, b) => {
    const key = a < b ? `${a}-${b}` : `${b}-${a}`;
    if (!edges.has(key)) {
      const [s, e] = a < b ? [a, b] : [b, a];
      const d = points[e].map((v, k) => v - points[s][k]);
      const length = Math.hypot(...d);
      const line = add(`LINE('',${point(points[s])},${add(`VECTOR('',${dir(d.map((v) => v / length))},${length.toFixed(digits)})`)})`);
      edges.set(key, { id: add(`EDGE_CURVE('',${vertices[s]},${vertices[e]},${line},.T.)`), start: s });
    }
    const found = edges.get(key);
    return add(`ORIENTED_EDGE('',*,*,${found.id},${found.start === a ? '.T.' : '.F.'})`);
  };
  const faceIds = faces.map((q) => {
    const loop = add(`EDGE_LOOP('',(${q.map((v, k) => edge(v, q[(k + 1) % q.length])).join(',')}))`);
    const u = points[q[1]].map((v, k) => v - points[q[0]][k]);
    const w = points[q[q.length - 1]].map((v, k) => v - points[q[0]][k]);
    const n = [u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]];
    const nl = Math.hypot(...n), ul = Math.hypot(...u);
    const plane = add(`PLANE('',${add(`AXIS2_PLACEMENT_3D('',${point(points[q[0]])},${dir(n.map((v) => v / nl))},${dir(u.map((v) => v / ul))})`)})`);
    return add(`ADVANCED_FACE('',(${add(`FACE_OUTER_BOUND('',${loop},.T.)`)}),${plane},.T.)`);
  });
  const solid = add(`MANIFOLD_SOLID_BREP('${name}',${add(`CLOSED_SHELL('',(${faceIds.join(',')}))`)})`);
  const origin = add(`AXIS2_PLACEMENT_3D('',${point([0, 0, 0])},${dir([0, 0, 1])},${dir([1, 0, 0])})`);
  const length = add('( LENGTH_UNIT() NAMED_UNIT(*) SI_UNIT(.MILLI.,.METRE.) )');
  const angle = add('( NAMED_UNIT(*) PLANE_ANGLE_UNIT() SI_UNIT($,.RADIAN.) )');
  const solidAngle = add('( NAMED_UNIT(*) SI_UNIT($,.STERADIAN.) SOLID_ANGLE_UNIT() )');
  const uncertainty = add(`UNCERTAINTY_MEASURE_WITH_UNIT(LENGTH_MEASURE(1.E-07),${length},'distance_accuracy_value','')`);
  const context = add(`( GEOMETRIC_REPRESENTATION_CONTEXT(3) GLOBAL_UNCERTAINTY_ASSIGNED_CONTEXT((${uncertainty})) GLOBAL_UNIT_ASSIGNED_CONTEXT((${length},${angle},${solidAngle})) REPRESENTATION_CONTEXT('',''))`);
  const shape = add(`ADVANCED_BREP_SHAPE_REPRESENTATION('',(${origin},${solid}),${context})`);
  const application = add(`APPLICATION_CONTEXT('automotive design')`);
  const product = add(`PRODUCT('${name}','${name}','',(${add(`PRODUCT_CONTEXT('',${application},'mechanical')`)}))`);
  const definition = add(`PRODUCT_DEFINITION('design','',${add(`PRODUCT_DEFINITION_FORMATION('','',${product})`)},${add(`PRODUCT_DEFINITION_CONTEXT('part definition',${application},'design')`)})`);
  add(`SHAPE_DEFINITION_REPRESENTATION(${add(`PRODUCT_DEFINITION_SHAPE('','',${definition})`)},${shape})`);
  return ['ISO-10303-21;', 'HEADER;', "FILE_DESCRIPTION(('Vexmoor sample'),'2;1');",
    "FILE_NAME('part.step','2026-12-06T00:00:00',(''),(''),'','','');", "FILE_SCHEMA(('AUTOMOTIVE_DESIGN'));",
    'ENDSEC;', 'DATA;', ...lines, 'ENDSEC;', 'END-ISO-10303-21;', ''].join('\n');
}

// A sphere of radius 100 mm bounded by planar faces: `rings` × `segments` of them; 132 × 134
// make a file of about 20 MB.
export function stepSphere(rings, segments) {
  const points = [[0, 0, 100], [0, 0, -100]];
  for (let i = 1; i < rings; i++) {
    for (let j = 0; j < segments; j++) {
      const theta = (i / rings) * Math.PI, phi = (j / segments) * 2 * Math.PI;
      points.push([100 * Math.sin(theta) * Math.cos(phi), 100 * Math.sin(theta) * Math.sin(phi), 100 * Math.cos(theta)]);
    }
  }
  const at = (i, j) => 2 + (i - 1) * segments + (j % segments);
  const faces = [];
  for (let j = 0; j < segments; j++) {
    faces.push([0, at(1, j), at(1, j + 1)], [1, at(rings - 1, j + 1), at(rings - 1, j)]);
    for (let i = 1; i < rings - 1; i++) faces.push([at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)]);
  }
  return stepSolid('sphere', points, faces, 6);
}

// An assembly (AP214) of one part kept in the file `part`: `levels` levels of sub-assemblies,
// each placing the one below (the lowest, the part) `uses` times side by side, along x, y and z
// by turns.
export function stepAssembly(part, levels = 1, uses = 2, spacing = 50) {
  const lines = [];
  let next = 1;
  const add = (text) => { lines.push(`#${next}=${text};`); return `#${next++}`; };
  const application = add(`APPLICATION_CONTEXT('automotive design')`);
  const productContext = add(`PRODUCT_CONTEXT('',${application},'mechanical')`);
  const definitionContext = add(`PRODUCT_DEFINITION_CONTEXT('part definition',${application},'design')`);
  const length = add('( LENGTH_UNIT() NAMED_UNIT(*) SI_UNIT(.MILLI.,.METRE.) )');
  const angle = add('( NAMED_UNIT(*) PLANE_ANGLE_UNIT() SI_UNIT($,.RADIAN.) )');
  const solidAngle = add('( NAMED_UNIT(*) SI_UNIT($,.STERADIAN.) SOLID_ANGLE_UNIT() )');
  const uncertainty = add(`UNCERTAINTY_MEASURE_WITH_UNIT(LENGTH_MEASURE(1.E-07),${length},'distance_accuracy_value','')`);
  const context = add(`( GEOMETRIC_REPRESENTATION_CONTEXT(3) GLOBAL_UNCERTAINTY_ASSIGNED_CONTEXT((${uncertainty})) GLOBAL_UNIT_ASSIGNED_CONTEXT((${length},${angle},${solidAngle})) REPRESENTATION_CONTEXT('',''))`);
  const [z, x] = [add("DIRECTION('',(0.,0.,1.))"), add("DIRECTION('',(1.,0.,0.))")];
  const axis = (at) => add(`AXIS2_PLACEMENT_3D('',${add(`CARTESIAN_POINT('',(${at.map((v) => v.toFixed(1)).join(',')}))`)},${z},${x})`);
  const product = (name) => {
    const item = add(`PRODUCT('${name}','${name}','',(${productContext}))`);
    const definition = add(`PRODUCT_DEFINITION('design','',${add(`PRODUCT_DEFINITION_FORMATION('','',${item})`)},${definitionContext})`);
    const origin = axis([0, 0, 0]);
    const shape = add(`SHAPE_REPRESENTATION('',(${origin}),${context})`);
    add(`SHAPE_DEFINITION_REPRESENTATION(${add(`PRODUCT_DEFINITION_SHAPE('','',${definition})`)},${shape})`);
    return { definition, shape, origin };
  };
  let below = product('part');
  const file = add(`DOCUMENT_FILE('${part}','','',${add("DOCUMENT_TYPE('geometry')")},'',$)`);
  add(`APPLIED_DOCUMENT_REFERENCE(${file},'',(${below.definition}))`);
  for (let level = 0; level < levels; level++) {
    const above = product(`assembly${levels - level}`);
    for (let use = 0; use < uses; use++) {
      const at = [0, 0, 0];
      at[level % 3] = use * spacing * uses ** Math.floor(level / 3);
      const usage = add(`NEXT_ASSEMBLY_USAGE_OCCURRENCE('${use}','','',${above.definition},${below.definition},$)`);
      const transformation = add(`ITEM_DEFINED_TRANSFORMATION('','',${below.origin},${axis(at)})`);
      const relation = add(`( REPRESENTATION_RELATIONSHIP('','',${below.shape},${above.shape}) REPRESENTATION_RELATIONSHIP_WITH_TRANSFORMATION(${transformation}) SHAPE_REPRESENTATION_RELATIONSHIP() )`);
      add(`CONTEXT_DEPENDENT_SHAPE_REPRESENTATION(${relation},${add(`PRODUCT_DEFINITION_SHAPE('','',${usage})`)})`);
    }
    below = above;
  }
  return ['ISO-10303-21;', 'HEADER;', "FILE_DESCRIPTION(('Vexmoor sample'),'2;1');",
    "FILE_NAME('assembly.step','2026-12-06T00:00:00',(''),(''),'','','');", "FILE_SCHEMA(('AUTOMOTIVE_DESIGN'));",
    'ENDSEC;', 'DATA;', ...lines, 'ENDSEC;', 'END-ISO-10303-21;', ''].join('\n');
}
