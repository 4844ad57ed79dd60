#!/usr/bin/env python3
"""Makes the reader's and the verifier's regression inputs, and expected.txt
(file, reader status, verdict), from five recordings written by libzel:

  v1-complete-sample.zel      one record of every version-1 type (format version 1)
  v2-complete-sample.zel      one record of every type a caller writes, signed
                              with the key of seed 00 01 .. 1F (format version 2)
  v2-complete-unsigned.zel    the same records, unsigned
  v3-complete-sample.zel      one record of every type a caller writes, signed
                              with the same key (zel_make_recording --sample OUT --signed,
                              bench/zel/make_recording.cpp; the sample of libzel/synthetic)
  v3-complete-unsigned.zel    the same records, unsigned (zel_make_recording --sample OUT)

Damage that a checksum would catch at once is made with the checksums
recomputed, so that the payload checks and the seal checks themselves are
exercised.  Run from this folder."""
import hashlib
import struct

POLY = 0x82F63B78
TABLE = []
for i in range(256):
    c = i
    for _ in range(8):
        c = (c >> 1) ^ POLY if c & 1 else c >> 1
    TABLE.append(c)


def crc32c(data):
    c = 0xFFFFFFFF
    for b in data:
        c = (c >> 8) ^ TABLE[(c ^ b) & 0xFF]
    return c ^ 0xFFFFFFFF


def frames(buf):
    at = 16
    while at + 24 <= len(buf):
        length = struct.unpack_from('<I', buf, at + 4)[0]
        yield at, buf[at], length
        at += 24 + length


def fix(buf):
    buf = bytearray(buf)
    struct.pack_into('<I', buf, 12, crc32c(buf[:12]))
    at = 16
    while at + 20 <= len(buf):
        struct.pack_into('<I', buf, at + 16, crc32c(buf[at:at + 16]))
        length = struct.unpack_from('<I', buf, at + 4)[0]
        if at + 24 + length > len(buf):
            break
        struct.pack_into('<I', buf, at + 20 + length, crc32c(buf[at:at + 20 + length]))
        at += 24 + length
    return bytes(buf)


def frame_of(buf, type_code):
    return next(f for f in frames(buf) if f[1] == type_code)


def patched(buf, type_code, offset, fmt, value):
    """A copy with one payload field of the first frame of this type changed
    (a negative offset: in the frame head, from the payload's start)."""
    b = bytearray(buf)
    struct.pack_into(fmt, b, frame_of(buf, type_code)[0] + 20 + offset, value)
    return fix(b)


def resized(buf, type_code, new_length):
    """A copy with the first frame of this type cut or padded to a payload of new_length."""
    at, _, length = frame_of(buf, type_code)
    payload = bytearray(buf[at + 20:at + 20 + length][:new_length].ljust(new_length, b'\0'))
    head = bytearray(buf[at:at + 20])
    struct.pack_into('<I', head, 4, new_length)
    return fix(buf[:at] + bytes(head) + bytes(payload) + b'\0' * 4 + buf[at + 24 + length:])


def seal_frame(before, flags, timestamp):
    """before, then an unsigned seal of it with these flags."""
    payload = struct.pack('<Q', len(before)) + hashlib.sha256(before).digest() + bytes([flags])
    head = struct.pack('<BBHIQ', 19, 0, 0, len(payload), timestamp)
    return fix(before + head + b'\0' * 4 + payload + b'\0' * 4)


out = {}  # name: (bytes, reader status, verdict)

# ---- version 1 ----
v1 = open('v1-complete-sample.zel', 'rb').read()
done_at = frame_of(v1, 0)[0]
out['v1-truncated-inside-image.zel'] = (v1[:200], 'truncated', 'truncated')
out['v1-truncated-before-done.zel'] = (v1[:done_at], 'truncated', 'truncated')
out['v1-truncated-in-file-head.zel'] = (v1[:10], 'truncated', 'truncated')
out['v1-truncated-in-record-head.zel'] = (v1[:done_at + 7], 'truncated', 'truncated')
flip = bytearray(v1)
flip[500] ^= 0x10
out['v1-corrupt-flipped-bit.zel'] = (bytes(flip), 'corrupt', 'corrupt')
b = bytearray(v1)
struct.pack_into('<I', b, 16 + 4, 0xFFFFFFF0)  # header payload length past every limit
out['v1-corrupt-huge-length.zel'] = (fix(b)[:len(v1)], 'corrupt', 'corrupt')
out['v1-corrupt-string-overrun.zel'] = (patched(v1, 9, 0, '<I', 1000), 'corrupt', 'corrupt')
b = bytearray(v1)
b[frame_of(v1, 8)[0]] = 200
out['v1-corrupt-unknown-type.zel'] = (fix(b), 'corrupt', 'corrupt')
out['v1-corrupt-cursor-count.zel'] = (patched(v1, 5, 16, '<I', 0x40000000), 'corrupt', 'corrupt')
out['v1-corrupt-data-after-done.zel'] = (v1 + b'\0' * 30, 'corrupt', 'corrupt')
out['v1-corrupt-palette-flag.zel'] = (patched(v1, 2, 15, '<B', 7), 'corrupt', 'corrupt')
b = bytearray(v1)
struct.pack_into('<H', b, 8, 3)
out['v1-corrupt-format-version.zel'] = (fix(b), 'corrupt', 'corrupt')
out['v1-corrupt-uncompressed-limit.zel'] = (patched(v1, 4, 14, '<I', 0x7FFFFFFF), 'corrupt', 'corrupt')
# decodes to fewer bytes than it claims
out['v1-complete-undecodable-image.zel'] = (patched(v1, 4, 14, '<I', 12289), 'end', 'corrupt')
# block rows past the entry
out['v1-complete-block-overrun.zel'] = (patched(v1, 14, 4 + 6, '<H', 1000), 'end', 'corrupt')
b = bytearray(v1)
at = frame_of(v1, 15)[0]
for k in range(at + 20 + 9 + 6, at + 20 + 9 + 40):
    b[k] ^= 0xA5  # damaged zstd bytes under a good checksum
out['v1-complete-damaged-zstd.zel'] = (fix(b), 'end', 'corrupt')
out['v1-complete-sample.zel'] = (v1, 'end', 'complete')

# ---- version 2 ----
v2 = open('v2-complete-sample.zel', 'rb').read()
unsigned = open('v2-complete-unsigned.zel', 'rb').read()
seal_at, _, seal_length = frame_of(v2, 19)
out['v2-complete-sample.zel'] = (v2, 'end', 'complete')
out['v2-complete-unsigned.zel'] = (unsigned, 'end', 'complete')
out['v2-truncated-after-final-seal.zel'] = (v2[:-24], 'truncated', 'truncated')
b = bytearray(v1)
struct.pack_into('<H', b, 8, 2)  # a version-1 recording called version 2: no seal
out['v2-complete-without-seals.zel'] = (fix(b), 'end', 'not authentic')
b = bytearray(v2)
struct.pack_into('<H', b, 8, 1)  # version 2 records in a version-1 file
out['v2-corrupt-new-types-in-version-1.zel'] = (fix(b), 'corrupt', 'corrupt')
out['v2-corrupt-seal-length.zel'] = (resized(v2, 19, 100), 'corrupt', 'corrupt')
out['v2-corrupt-signature-size.zel'] = (resized(v2, 19, 41 + 8 + 60), 'corrupt', 'corrupt')
out['v2-corrupt-seal-flags.zel'] = (patched(v2, 19, 40, '<B', 0x0F), 'corrupt', 'corrupt')
out['v2-corrupt-seal-key-without-signature.zel'] = (patched(unsigned, 19, 40, '<B', 0x02), 'corrupt', 'corrupt')
out['v2-corrupt-copy-count.zel'] = (patched(v2, 18, 0, '<I', 0), 'corrupt', 'corrupt')
out['v2-corrupt-copy-overrun.zel'] = (patched(v2, 18, 0, '<I', 3), 'corrupt', 'corrupt')
out['v2-corrupt-cursor-pixel-count.zel'] = (patched(v2, 17, 17, '<I', 17), 'corrupt', 'corrupt')
out['v2-corrupt-cursor-method.zel'] = (patched(v2, 17, 16, '<B', 2), 'corrupt', 'corrupt')
# a copy target past the screen's right edge: damage wins over the broken chain
out['v2-complete-copy-outside.zel'] = (patched(v2, 18, 4 + 8, '<h', 1), 'end', 'corrupt')
b = bytearray(v2)
at = frame_of(v2, 17)[0]
for k in range(at + 20 + 25 + 6, at + 20 + 25 + 20):
    b[k] ^= 0x5A
out['v2-complete-damaged-cursor-zstd.zel'] = (fix(b), 'end', 'corrupt')
out['v2-complete-forged-chain.zel'] = (patched(v2, 19, 8, '<B', v2[seal_at + 28] ^ 1), 'end', 'not authentic')
out['v2-complete-seal-offset.zel'] = (patched(v2, 19, 0, '<Q', seal_at - 1), 'end', 'not authentic')
out['v2-complete-unknown-key-id.zel'] = (patched(v2, 19, 41, '<B', v2[seal_at + 61] ^ 1), 'end', 'not authentic')
out['v2-complete-bad-signature.zel'] = (patched(v2, 19, 49, '<B', v2[seal_at + 69] ^ 1), 'end', 'not authentic')
out['v2-complete-not-final.zel'] = (patched(v2, 19, 40, '<B', 3), 'end', 'not authentic')
out['v2-complete-unsigned-not-final.zel'] = (patched(unsigned, 19, 40, '<B', 0), 'end', 'not authentic')
b = bytearray(v2)
b[frame_of(v2, 8)[0] + 20 + 4] ^= 0x01  # one letter of the last input's user
out['v2-complete-changed-record.zel'] = (fix(b), 'end', 'not authentic')
u_seal, _, u_length = frame_of(unsigned, 19)
out['v2-complete-seal-removed.zel'] = (unsigned[:u_seal] + unsigned[u_seal + 24 + u_length:], 'end', 'not authentic')
dup_at = frame_of(v2, 6)[0]
out['v2-complete-record-after-final-seal.zel'] = (
    v2[:-24] + v2[dup_at:dup_at + 28] + v2[-24:], 'end', 'not authentic')

# ---- version 3 ----
v3 = open('v3-complete-sample.zel', 'rb').read()
u3 = open('v3-complete-unsigned.zel', 'rb').read()
all3 = list(frames(v3))
done3 = frame_of(v3, 0)[0]
window3 = frame_of(v3, 20)[0]
gap3 = frame_of(v3, 21)[0]
out['v3-complete-sample.zel'] = (v3, 'end', 'complete')
out['v3-complete-unsigned.zel'] = (u3, 'end', 'complete')
# the end without its final seal: cut, sealed up to the seal before
out['v3-truncated-after-done.zel'] = (v3[:all3[-1][0]], 'truncated', 'truncated')
# the end an hour later, or with another reason: the final seal no longer holds, signed or not
out['v3-complete-end-moved.zel'] = (patched(v3, 0, -12, '<Q', 1700000000000017 + 3600000000), 'end', 'not authentic')
out['v3-complete-end-moved-unsigned.zel'] = (
    patched(u3, 0, -12, '<Q', 1700000000000017 + 3600000000), 'end', 'not authentic')
out['v3-complete-end-reason-changed.zel'] = (patched(v3, 0, 0, '<B', 4), 'end', 'not authentic')
out['v3-complete-end-seal-not-final.zel'] = (patched(v3, 19, 40, '<B', 3), 'end', 'not authentic')
out['v3-complete-end-seal-not-final-unsigned.zel'] = (patched(u3, 19, 40, '<B', 0), 'end', 'not authentic')
final3 = v3[all3[-1][0]:]
udone3 = frame_of(u3, 0)[0]
# a final seal whose chain holds, but before the end-of-data record (the order of version 2)
early = seal_frame(u3[:udone3], 4, 1700000000000016)
out['v3-complete-final-seal-before-done.zel'] = (
    early + u3[udone3:udone3 + 37] + seal_frame(early + u3[udone3:udone3 + 37], 4, 1700000000000017)[len(early) + 37:],
    'end', 'not authentic')
out['v3-truncated-in-the-order-of-version-2.zel'] = (early + u3[udone3:udone3 + 37], 'truncated', 'not authentic')
move3 = frame_of(v3, 6)[0]
out['v3-corrupt-record-after-done.zel'] = (
    v3[:all3[-1][0]] + v3[move3:move3 + 28] + final3, 'corrupt', 'corrupt')
out['v3-corrupt-data-after-final-seal.zel'] = (v3 + b'\0' * 30, 'corrupt', 'corrupt')
out['v3-corrupt-end-reason.zel'] = (patched(v3, 0, 0, '<B', 6), 'corrupt', 'corrupt')
out['v3-corrupt-end-length.zel'] = (resized(v3, 0, 12), 'corrupt', 'corrupt')
out['v3-corrupt-window-event.zel'] = (patched(v3, 20, 4, '<B', 5), 'corrupt', 'corrupt')
out['v3-corrupt-window-flags.zel'] = (patched(v3, 20, 5, '<B', 4), 'corrupt', 'corrupt')
out['v3-corrupt-window-bytes-too-long.zel'] = (patched(v3, 20, 32, '<I', 4097), 'corrupt', 'corrupt')
out['v3-corrupt-window-bytes-overrun.zel'] = (patched(v3, 20, 32, '<I', 100), 'corrupt', 'corrupt')
out['v3-corrupt-interruption-from-after-to.zel'] = (
    patched(v3, 21, 0, '<Q', 1700000000000017), 'corrupt', 'corrupt')
out['v3-corrupt-interruption-cause.zel'] = (patched(v3, 21, 8, '<B', 0), 'corrupt', 'corrupt')
b = bytearray(v3)
struct.pack_into('<H', b, 8, 2)  # version 3 records in a version-2 file
out['v3-corrupt-new-types-in-version-2.zel'] = (fix(b), 'corrupt', 'corrupt')
# one byte flipped in the middle: corrupt there, every other record still read (corpus_test.cpp)
b = bytearray(v3)
b[frame_of(v3, 15)[0] + 40] ^= 0x01
out['v3-corrupt-flipped-byte.zel'] = (bytes(b), 'corrupt', 'corrupt')

# kept as found, not made here
out['v1-corrupt-cursor-larger-than-pixels.zel'] = (
    open('v1-corrupt-cursor-larger-than-pixels.zel', 'rb').read(), 'corrupt', 'corrupt')

with open('expected.txt', 'w') as listing:
    listing.write('# file  reader-status  verdict (written by make-corpus.py)\n')
    for name, (data, status, verdict) in sorted(out.items()):
        open(name, 'wb').write(data)
        listing.write('%s %s %s\n' % (name, status, verdict.replace(' ', '-')))
