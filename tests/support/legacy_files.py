#!/usr/bin/env python3
"""Legacy binary files and archive matrices for the command-line tests,
written and read from the layouts in docs/formats.md alone (independently
of the library).

  legacy_files.py write tf|sm FILE SOURCES MICS NFFT SEED [RATE]
      writes a legacy file: source ids 10, 11, ..., microphone ids 0, 1, ...,
      the value of (source s, microphone m, bin b) given by value() below.
  legacy_files.py check ARCHIVE localization|separation SOURCES MICS NFFT SEED
      exits 0 when every TF member of that kind holds exactly those values.
"""
import struct
import sys
import zipfile


def value(seed, s, m, b):
    return (0.5 * (seed * 1000 + s * 100 + m * 10 + b) - 7.25,
            0.125 * (seed - s - 3 * m - 5 * b))


def write(kind, path, n_src, n_mic, nfft, seed, rate):
    bins = nfft // 2 + 1
    out = bytearray(b"VELK")
    out += struct.pack("<5I", 1, {"tf": 1, "sm": 2}[kind], n_src, n_mic, bins)
    out += struct.pack("<8i", 16, 0, 16384, 0, 0, nfft, rate, 32768)
    for s in range(n_src):
        out += struct.pack("<i3f", 10 + s, 1.5, 0.25 * s, -0.5)
    for m in range(n_mic):
        out += struct.pack("<i3f", m, 0.05 * m, -0.0625, 0.125)
    for s in range(n_src):
        for m in range(n_mic):
            for b in range(bins):
                out += struct.pack("<2f", *value(seed, s, m, b))
    with open(path, "wb") as f:
        f.write(out)


def pad8(n):
    return (n + 7) // 8 * 8


def read_mat(data):
    """The complex single-precision matrix of a MAT-file member, as rows."""
    assert data[126:128] == b"IM", "not little-endian"
    rows, cols = struct.unpack_from("<2i", data, 160)
    part = 4 * rows * cols
    rtype, rsize = struct.unpack_from("<2I", data, 184)
    itype, isize = struct.unpack_from("<2I", data, 192 + pad8(part))
    assert (rtype, rsize, itype, isize) == (7, part, 7, part), "unexpected tags"
    assert len(data) == 200 + 2 * pad8(part), "unexpected size"
    re = struct.unpack_from("<%df" % (rows * cols), data, 192)
    im = struct.unpack_from("<%df" % (rows * cols), data, 200 + pad8(part))
    # Column-major: element (r, c) is number c * rows + r.
    return [[(re[c * rows + r], im[c * rows + r]) for c in range(cols)] for r in range(rows)]


def check(archive, kind, n_src, n_mic, nfft, seed):
    bins = nfft // 2 + 1
    with zipfile.ZipFile(archive) as z:
        for s in range(n_src):
            name = "transferFunction/%s/tf%05d.mat" % (kind, 10 + s)
            got = read_mat(z.read(name))
            want = [[value(seed, s, m, b) for b in range(bins)] for m in range(n_mic)]
            if got != want:
                print("%s: values differ" % name)
                return 1
    return 0


def main(argv):
    if len(argv) >= 8 and argv[1] == "write":
        rate = int(argv[8]) if len(argv) > 8 else 16000
        write(argv[2], argv[3], int(argv[4]), int(argv[5]), int(argv[6]), int(argv[7]), rate)
        return 0
    if len(argv) == 8 and argv[1] == "check":
        return check(argv[2], argv[3], int(argv[4]), int(argv[5]), int(argv[6]), int(argv[7]))
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
