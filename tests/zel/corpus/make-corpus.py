#!/usr/bin/env python3
"""Makes the reader's regression inputs from complete-sample.zel (a recording
of one record of every type, written by libzel).  Damage that a checksum
would catch at once is made with the checksums recomputed, so the payload
checks themselves are exercised.  Run from this folder."""
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


sample = open('complete-sample.zel', 'rb').read()
out = {}
done_at = frame_of(sample, 0)[0]
out['truncated-inside-image.zel'] = sample[:200]
out['truncated-before-done.zel'] = sample[:done_at]
out['truncated-in-file-head.zel'] = sample[:10]
out['truncated-in-record-head.zel'] = sample[:done_at + 7]

flip = bytearray(sample)
flip[500] ^= 0x10
out['corrupt-flipped-bit.zel'] = bytes(flip)

b = bytearray(sample)
struct.pack_into('<I', b, 16 + 4, 0xFFFFFFF0)  # header payload length past every limit
out['corrupt-huge-length.zel'] = fix(b)[:len(sample)]

b = bytearray(sample)
at = frame_of(sample, 9)[0]  # footer app: string length past the payload
struct.pack_into('<I', b, at + 20, 1000)
out['corrupt-string-overrun.zel'] = fix(b)

b = bytearray(sample)
b[frame_of(sample, 8)[0]] = 200
out['corrupt-unknown-type.zel'] = fix(b)

b = bytearray(sample)
at = frame_of(sample, 5)[0]
struct.pack_into('<I', b, at + 20 + 16, 0x40000000)  # cursor pixel count
out['corrupt-cursor-count.zel'] = fix(b)

out['corrupt-data-after-done.zel'] = sample + b'\0' * 30

b = bytearray(sample)
at = frame_of(sample, 2)[0]
b[at + 20 + 15] = 7  # palette flag
out['corrupt-palette-flag.zel'] = fix(b)

b = bytearray(sample)
struct.pack_into('<H', b, 8, 2)
out['corrupt-format-version.zel'] = fix(b)

b = bytearray(sample)
at = frame_of(sample, 4)[0]
struct.pack_into('<I', b, at + 20 + 14, 0x7FFFFFFF)  # uncompressed length past the limit
out['corrupt-uncompressed-limit.zel'] = fix(b)

b = bytearray(sample)
at = frame_of(sample, 4)[0]
struct.pack_into('<I', b, at + 20 + 14, 12289)  # decodes to fewer bytes than it claims
out['complete-undecodable-image.zel'] = fix(b)

b = bytearray(sample)
at = frame_of(sample, 14)[0]
struct.pack_into('<H', b, at + 20 + 4 + 6, 1000)  # block rows past the entry
out['complete-block-overrun.zel'] = fix(b)

b = bytearray(sample)
at = frame_of(sample, 15)[0]
for k in range(at + 20 + 9 + 6, at + 20 + 9 + 40):
    b[k] ^= 0xA5  # damaged zstd bytes under a good checksum
out['complete-damaged-zstd.zel'] = fix(b)

for name, data in out.items():
    open(name, 'wb').write(data)
