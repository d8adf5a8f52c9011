"""SOFA files for the command-line tests, read and written with Python's
netCDF4 (Debian python3-netcdf4), independently of the suite's programs.

    import sys; sys.path.insert(0, SUPPORT_DIR)
    import sofa_files
    sofa_files.check_general_tf('tf.sofa')      # every mandatory part; the Dataset
    sofa_files.write_fir('ir.sofa', ir, 16000, sources)
    loc, sep, cuts = sofa_files.windows_tf(signals, nfft, direct, reverb)
"""
import numpy as np
import netCDF4

GLOBALS_TF = {
    'Conventions': 'SOFA', 'Version': '2.1', 'SOFAConventions': 'GeneralTF',
    'SOFAConventionsVersion': '2.0', 'DataType': 'TF', 'RoomType': None, 'Title': None,
    'DateCreated': None, 'DateModified': None, 'APIName': None, 'APIVersion': None,
    'AuthorContact': None, 'Organization': None, 'License': None, 'ApplicationName': None,
    'ApplicationVersion': None}
# Variable: (dimensions, {attribute: value or None for any text}).
CARTESIAN = {'Type': 'cartesian', 'Units': 'metre'}
VARIABLES_TF = {
    'ListenerPosition': (('I', 'C'), CARTESIAN),
    'ReceiverPosition': (('R', 'C', 'I'), CARTESIAN),
    'SourcePosition': (('M', 'C'), CARTESIAN),
    'EmitterPosition': (('E', 'C', 'I'), CARTESIAN),
    'N': (('N',), {'LongName': 'frequency', 'Units': 'hertz'}),
    'Data.Real': (('M', 'R', 'N'), {}),
    'Data.Imag': (('M', 'R', 'N'), {}),
}


def check_general_tf(path):
    """Every mandatory global attribute, dimension and variable of
    GeneralTF 2.0 with its attributes; returns the open Dataset."""
    d = netCDF4.Dataset(path)
    assert d.file_format == 'NETCDF4', d.file_format
    for name, value in GLOBALS_TF.items():
        assert name in d.ncattrs(), 'global attribute %s missing' % name
        got = d.getncattr(name)
        assert isinstance(got, str), '%s is not text' % name
        assert value is None or got == value, '%s is %r, not %r' % (name, got, value)
    for date in ('DateCreated', 'DateModified'):
        import datetime
        datetime.datetime.strptime(d.getncattr(date), '%Y-%m-%d %H:%M:%S')
    assert len(d.dimensions['I']) == 1 and len(d.dimensions['C']) == 3
    assert len(d.dimensions['E']) == 1
    for name, (dims, attrs) in VARIABLES_TF.items():
        assert name in d.variables, 'variable %s missing' % name
        v = d.variables[name]
        assert v.dimensions == dims, '%s has %s, not %s' % (name, v.dimensions, dims)
        assert v.dtype == np.float64, '%s is %s' % (name, v.dtype)
        for a, value in attrs.items():
            assert a in v.ncattrs(), '%s:%s missing' % (name, a)
            assert v.getncattr(a) == value, '%s:%s is %r' % (name, a, v.getncattr(a))
    assert np.all(d['ListenerPosition'][:] == 0) and np.all(d['EmitterPosition'][:] == 0)
    return d


def general_tf_values(d):
    """Data.Real + i Data.Imag [M R N] of an open GeneralTF Dataset."""
    return np.asarray(d['Data.Real'][:]) + 1j * np.asarray(d['Data.Imag'][:])


def write_fir(path, ir, rate, sources, receivers, *, source_type='spherical',
              listener=(0, 0, 0), view=(1, 0, 0), up=(0, 0, 1), delay=None,
              conventions='GeneralFIR', data_type='FIR', emitters=1, dims=None,
              source_dims=('M', 'C')):
    """A SOFA file of impulse responses ir [M R N].  `dims` overrides
    dimension lengths (for damaged files): variables of those dimensions
    are then declared but not written.  A listener of M rows moves."""
    M, R, N = ir.shape
    lengths = {'I': 1, 'C': 3, 'M': M, 'R': R, 'N': N, 'E': emitters}
    lengths.update(dims or {})
    d = netCDF4.Dataset(path, 'w', format='NETCDF4')
    for name in ('I', 'C', 'R', 'E', 'N', 'M'):
        d.createDimension(name, lengths[name])
    for name, value in (('Conventions', 'SOFA'), ('Version', '1.0'),
                        ('SOFAConventions', conventions), ('SOFAConventionsVersion', '1.0'),
                        ('DataType', data_type), ('RoomType', 'free field'),
                        ('Title', 'test'), ('DateCreated', '2020-01-01 00:00:00'),
                        ('DateModified', '2020-01-01 00:00:00'), ('APIName', 'netCDF4'),
                        ('APIVersion', '1'), ('AuthorContact', ''), ('Organization', ''),
                        ('License', 'none')):
        d.setncattr(name, value)

    def var(name, dims, values, **attrs):
        # Compressed in chunks: declared but unwritten data take no room.
        v = d.createVariable(name, 'f8', dims, zlib=True)
        for a, value in attrs.items():
            v.setncattr(a, value)
        if dims is not None and not (set(dims) & set(dims_overridden)):
            v[:] = values
        return v
    dims_overridden = set(dims or {})
    units = 'degree, degree, metre' if source_type == 'spherical' else 'metre'
    listener = np.array(listener, ndmin=2)
    var('ListenerPosition', ('I', 'C') if len(listener) == 1 else ('M', 'C'), listener,
        Type='cartesian', Units='metre')
    var('ListenerView', ('I', 'C'), np.array([view]), Type='cartesian', Units='metre')
    var('ListenerUp', ('I', 'C'), np.array([up]))
    var('ReceiverPosition', ('R', 'C', 'I'), np.asarray(receivers)[:, :, None],
        Type='cartesian', Units='metre')
    var('SourcePosition', source_dims, np.asarray(sources), Type=source_type, Units=units)
    var('EmitterPosition', ('E', 'C', 'I'), np.zeros((lengths['E'], 3, 1)),
        Type='cartesian', Units='metre')
    var('Data.IR', ('M', 'R', 'N'), ir)
    var('Data.SamplingRate', ('I',), np.array([rate]), Units='hertz')
    var('Data.Delay', ('I', 'R'), np.zeros((1, R)) if delay is None else np.array([delay]))
    d.close()


def windows_tf(signals, nfft, direct, reverb):
    """The localization and separation transfer functions of one
    measurement's impulse responses signals [R n], cut as the suite's
    calctfimp cuts them (whole-signal peak search): returns loc [R bins],
    sep [R bins] (as the archive stores it: conjugated) and the LOC and SEP
    cut ranges (from, to)."""
    R, n = signals.shape
    peaks = [int(np.argmax(np.abs(s))) for s in signals]
    pmax = max(peaks)

    def cut(length):
        start = max(pmax + length + 1 - nfft, 0)
        return start, min(start + nfft, n)
    lf, lt = cut(direct)
    sf, st = cut(reverb)
    loc = np.zeros((R, nfft))
    sep = np.zeros((R, nfft))
    for j in range(R):
        loc[j, :lt - lf] = signals[j, lf:lt]
        loc[j, max(peaks[j] - lf + direct + 1, 0):] = 0
        sep[j, :st - sf] = signals[j, sf:st]
    energy = np.sum(sep ** 2)
    if energy > 0:
        sep = sep / energy
    loc_tf = np.fft.rfft(loc, axis=1)
    sep_tf = np.conj(np.fft.rfft(sep, axis=1))
    sep_tf[:, -1] = 0
    return loc_tf, sep_tf, (lf, lt), (sf, st)
