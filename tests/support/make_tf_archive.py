#!/usr/bin/python3
"""Writes a transfer-function archive for the command-line tests, built
independently of the velkio library (zipfile, ElementTree, scipy.io).

    make_tf_archive.py OUT.zip '{"ids": [0, 1, 5], "mics": 4, ...}'

Keys of the JSON description (all optional):
  ids        source position ids, list order            [0, 1, 2, 3]
  mics       number of microphone positions              4
  channels   channel list of the first source position   none
  nfft, rate configuration values                        16, 16000
  comment, tspPath   configuration texts                 none
  kinds      TF kinds written                            ["localization", "separation"]
  offsets    {kind: {id: samples}}: calcTF annotations   none
  skip       {kind: [ids]}: TF members left out          none
  omit       member names left out                       none
  whatisthis text of whatisthis.txt                      "transfer function\\n..."
  seed       seed of the random TF values                1
  zero       true: the first value of every matrix is 0  false
  dtype      numpy type of the matrices                  "complex64"
  compress   true: MAT members saved compressed          false
  nan        {kind: [ids]}: members holding a NaN        none
  stored     true: no member deflated                    false
Matrices are rows x (nfft/2+1), rows = len(channels) or mics.
"""
import io
import json
import sys
import zipfile
import xml.etree.ElementTree as ET

import numpy as np
import scipy.io


def source_xml(d):
    root = ET.Element("velk_xml")
    poses = ET.SubElement(root, "positions", type="tsp")
    offsets = d.get("offsets", {})
    for n, pid in enumerate(d.get("ids", [0, 1, 2, 3])):
        p = ET.SubElement(poses, "position", id=str(pid))
        ET.SubElement(p, "polar", azimuth=str(10 * n), elevation="0", radius="1.5")
        if n == 0 and "channels" in d:
            ET.SubElement(p, "channels").text = " ".join(map(str, d["channels"]))
        for kind in ("localization", "separation"):
            off = offsets.get(kind, {}).get(str(pid))
            if off is not None:
                ET.SubElement(p, "calcTF", type=kind, offset="%f" % off)
    cfg = ET.SubElement(root, "config")
    for key in ("comment", "synchronousAverage", "tspPath", "tspOffset", "tspLength",
                "peakSearchFrom", "peakSearchTo", "nfft", "samplingRate", "signalMax"):
        defaults = {"synchronousAverage": 16, "tspLength": 16384, "nfft": 16,
                    "samplingRate": 16000, "signalMax": 32768, "tspOffset": 0,
                    "peakSearchFrom": 1, "peakSearchTo": 200}
        value = d.get({"nfft": "nfft", "samplingRate": "rate"}.get(key, key), defaults.get(key))
        if value is not None:
            ET.SubElement(cfg, key).text = str(value)
    return ET.tostring(root, encoding="utf-8", xml_declaration=True)


def mic_xml(d):
    root = ET.Element("velk_xml")
    poses = ET.SubElement(root, "positions", type="microphone")
    for m in range(d.get("mics", 4)):
        p = ET.SubElement(poses, "position", id=str(m))
        ET.SubElement(p, "cartesian", x=str(0.01 * m), y="0", z="0")
    return ET.tostring(root, encoding="utf-8", xml_declaration=True)


def mat_bytes(matrix, compress=False):
    out = io.BytesIO()
    scipy.io.savemat(out, {"tf": matrix}, do_compression=compress)
    return out.getvalue()


def main():
    path, d = sys.argv[1], json.loads(sys.argv[2])
    rng = np.random.default_rng(d.get("seed", 1))
    rows = len(d["channels"]) if "channels" in d else d.get("mics", 4)
    cols = d.get("nfft", 16) // 2 + 1
    members = [("transferFunction/", b""),
               ("transferFunction/whatisthis.txt",
                d.get("whatisthis", "transfer function\nAcoustic transfer functions.\n").encode()),
               ("transferFunction/source.xml", source_xml(d)),
               ("transferFunction/microphones.xml", mic_xml(d))]
    for kind in d.get("kinds", ["localization", "separation"]):
        members.append(("transferFunction/%s/" % kind, b""))
        for pid in d.get("ids", [0, 1, 2, 3]):
            m = (rng.standard_normal((rows, cols)) +
                 1j * rng.standard_normal((rows, cols))).astype(d.get("dtype", "complex64"))
            if d.get("zero"):
                m[0, 0] = 0
            if pid in d.get("nan", {}).get(kind, []):
                m[-1, 1] = complex(0, np.nan)
            if pid not in d.get("skip", {}).get(kind, []):
                members.append(("transferFunction/%s/tf%05d.mat" % (kind, pid),
                                mat_bytes(m, d.get("compress", False))))
    method = zipfile.ZIP_STORED if d.get("stored") else zipfile.ZIP_DEFLATED
    with zipfile.ZipFile(path, "w", method) as z:
        for name, data in members:
            if name not in d.get("omit", []):
                z.writestr(name, data)


main()
