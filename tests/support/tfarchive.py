"""Reading a transfer-function archive for the command-line tests.

Used by the tests of the transfer-function subcommands (run with
/usr/bin/python3, which has numpy and scipy):

    import sys; sys.path.insert(0, SUPPORT_DIR)
    import tfarchive
    a = tfarchive.Archive('tf.zip')
    a.loc[3]            # complex64 matrix [mic][bin] of source id 3, or absent
    a.sources[3]        # (x, y, z) float32 of source id 3
    a.mics              # {id: (x, y, z)} of microphones.xml
    a.readme            # text of transferFunction/README, or None
    a.calctf[3]         # [(type, {attributes})] of the calcTF elements
"""
import io
import re
import xml.etree.ElementTree as ET
import zipfile

import numpy as np
import scipy.io

PREFIX = 'transferFunction/'


def _coords(position):
    cart = position.find('cartesian')
    if cart is not None:
        return np.array([float(cart.get(k)) for k in ('x', 'y', 'z')],
                        dtype=np.float32)
    polar = position.find('polar')
    az = np.radians(float(polar.get('azimuth')))
    el = np.radians(float(polar.get('elevation')))
    r = float(polar.get('radius'))
    return np.array([r * np.cos(el) * np.cos(az), r * np.cos(el) * np.sin(az),
                     r * np.sin(el)], dtype=np.float32)


def _positions(text):
    root = ET.fromstring(text)
    out = {}
    for p in root.findall('./positions/position'):
        out[int(p.get('id'))] = p
    return root, out


class Archive:
    def __init__(self, path):
        with zipfile.ZipFile(path) as z:
            self.names = z.namelist()
            self.source_text = z.read(PREFIX + 'source.xml').decode('utf-8')
            mic_text = z.read(PREFIX + 'microphones.xml').decode('utf-8')
            self.readme = (z.read(PREFIX + 'README').decode('utf-8')
                           if PREFIX + 'README' in self.names else None)
            self.loc = self._matrices(z, 'localization')
            self.sep = self._matrices(z, 'separation')
        root, positions = _positions(self.source_text)
        self.source_ids = [int(p.get('id'))
                           for p in root.findall('./positions/position')]
        self.sources = {i: _coords(p) for i, p in positions.items()}
        self.calctf = {i: [(c.get('type'), dict(c.attrib))
                           for c in p.findall('calcTF')]
                       for i, p in positions.items()}
        cfg = root.find('config')
        self.nfft = int(cfg.find('nfft').text)
        self.rate = int(cfg.find('samplingRate').text)
        _, mics = _positions(mic_text)
        self.mic_ids = [int(p.get('id'))
                        for p in ET.fromstring(mic_text).findall('./positions/position')]
        self.mics = {i: _coords(p) for i, p in mics.items()}

    def _matrices(self, z, kind):
        out = {}
        for name in self.names:
            m = re.fullmatch(PREFIX + kind + r'/tf(\d{5})\.mat', name)
            if m:
                mat = scipy.io.loadmat(io.BytesIO(z.read(name)))
                out[int(m.group(1))] = np.asarray(mat['tf'])
        return out


def max_error(actual, expected):
    """Largest absolute difference of two complex arrays of equal shape."""
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    if actual.shape != expected.shape:
        raise AssertionError('shape %s, expected %s' % (actual.shape,
                                                        expected.shape))
    return float(np.max(np.abs(actual - expected))) if actual.size else 0.0
