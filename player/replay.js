// Applying one decoded record to a Screen, as libzel's replay does; and the
// screen snapshots the player keeps, compressed, as extra places to seek from.
import { FormatError, T, inflate, u32 } from './format.js';

function cursorPixels(r) {
  if (r.type === T.CURSOR) return r.pixels;
  const raw = inflate(r.z);
  const px = new Uint32Array(r.count);
  for (let i = 0; i < r.count; i++) px[i] = u32(raw, 4 * i);
  return px;
}

const PICTURES = new Set([T.IMAGE, T.CIMAGE, T.KEYFRAME, T.BLOCKS, T.CBLOCKS, T.COPY]);

// Throws FormatError when the record does not decode or fit the screen (the
// screen is then left as it was).  Keyframes are applied like whole images.
// After damage (screen.damaged) pictures are passed over until a whole
// screen comes, as libzel's replay does: they would paint on a picture that
// is not there.
export function applyRecord(screen, r) {
  const whole = r.type === T.HEADER || (screen.has && coversScreen(r, screen.width, screen.height));
  if (screen.damaged && PICTURES.has(r.type) && !whole) return;
  applyOne(screen, r);
  if (whole) screen.damaged = false;
}

function applyOne(screen, r) {
  switch (r.type) {
    case T.HEADER: screen.header(r); break;
    case T.IMAGE: screen.image(r, r.pixels); break;
    case T.CIMAGE:
    case T.KEYFRAME:
      if (!screen.has || r.format !== screen.format) throw new FormatError('image that does not fit the screen');
      screen.image(r, inflate(r.z));
      break;
    case T.BLOCKS: screen.blocks(r.entries); break;
    case T.CBLOCKS:
      if (!screen.has) throw new FormatError('image blocks before the header');
      screen.blocks(inflate(r.z));
      break;
    case T.SCREEN: screen.resize(r.width, r.height); break;
    case T.CURSOR:
    case T.CCURSOR: screen.setCursor(r, cursorPixels(r)); break;
    case T.POSITION: screen.setPointer(r.x, r.y); break;
    case T.COPY: screen.copy(r.rects); break;
    default: break;
  }
}

function coversScreen(r, width, height) {
  if (r.type !== T.IMAGE && r.type !== T.CIMAGE && r.type !== T.KEYFRAME) return false;
  return r.x <= 0 && r.y <= 0 && r.x + r.width >= width && r.y + r.height >= height;
}

// Whether an image record paints the whole screen of its time (a place to
// start replaying from).
export function isWholeImage(r, width, height) {
  return r.type === T.KEYFRAME || coversScreen(r, width, height);
}

const pipe = (bytes, stream) => new Response(new Blob([bytes]).stream().pipeThrough(stream)).arrayBuffer();

export function packSnapshot(px) {
  return pipe(px, new CompressionStream('deflate-raw'));
}

export async function unpackSnapshot(buffer) {
  return new Uint32Array(await pipe(buffer, new DecompressionStream('deflate-raw')));
}
