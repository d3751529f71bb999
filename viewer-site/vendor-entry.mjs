// The readers that ship no browser-ready module of their own, bundled into build/vendor.js.
export { parse } from '@loaders.gl/core';
export { LASLoader } from '@loaders.gl/las';
export { default as DxfParser } from 'dxf-parser';
