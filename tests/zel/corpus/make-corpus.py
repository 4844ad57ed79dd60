#!/usr/bin/env python3
"""Makes the reader's and the verifier's regression inputs, and expected.txt
(file, reader status, verdict), from three recordings written by libzel:

  v1-complete-sample.zel      one record of every version-1 type (format version 1)
  v2-complete-sample.zel      one record of every type a caller writes, signed
                              with the key of seed 00 01 .. 1F (the sample of
                              tests/zel/zel_test_util.cpp)
  v2-complete-unsigned.zel    the same records, unsigned

Damage that a checksum would catch at once is made with the checksums
recomputed, so that the payload checks and the seal checks themselves are
exercised.  Run from this folder."""
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
    """A copy with one payload field of the first frame of this type changed."""
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

# kept as found, not made here
out['v1-corrupt-cursor-larger-than-pixels.zel'] = (
    open('v1-corrupt-cursor-larger-than-pixels.zel', 'rb').read(), 'corrupt', 'corrupt')

with open('expected.txt', 'w') as listing:
    listing.write('# file  reader-status  verdict (written by make-corpus.py)\n')
    for name, (data, status, verdict) in sorted(out.items()):
        open(name, 'wb').write(data)
        listing.write('%s %s %s\n' % (name, status, verdict.replace(' ', '-')))
