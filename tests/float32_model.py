"""An independent float32 model of quorlin's arithmetic.

Each step is computed in Python (double precision) and rounded to float32
with ctypes, which for + - * / and sqrt gives the correctly rounded float32
result. The transcendental functions are the C runtime's own float
functions, called through ctypes, as the module calls them.
"""

import ctypes
import ctypes.util
import math
import struct

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _float_function(name, arity):
    function = getattr(_libm, name)
    function.restype = ctypes.c_float
    function.argtypes = [ctypes.c_float] * arity
    return function


sinf = _float_function("sinf", 1)
cosf = _float_function("cosf", 1)
atanf = _float_function("atanf", 1)
sinhf = _float_function("sinhf", 1)
asinf = _float_function("asinf", 1)
atan2f = _float_function("atan2f", 2)
powf = _float_function("powf", 2)


def f32(x):
    """Round a Python float to the nearest float32 (inf on overflow)."""
    return ctypes.c_float(x).value


def from_bits(bits):
    return struct.unpack("<f", bits.to_bytes(4, "little"))[0]


def bits(x):
    """The float64 bit pattern, so NaN payloads aside, -0.0 != 0.0."""
    if math.isnan(x):
        return "nan"
    return struct.pack("<d", x).hex()


DEG = from_bits(0x3C8EFA35)
RAD = from_bits(0x42652EE1)
RADIUS = from_bits(0x4AC26D82)
PI = from_bits(0x40490FDB)
NUDGE = from_bits(0x3089705F)


def valid(lon, lat):
    return -90.0 < lat < 90.0 and -180.0 < lon < 180.0


def angle(lon1, lat1, lon2, lat2):
    phi1 = f32(lat1 * DEG)
    lam1 = f32(lon1 * DEG)
    phi2 = f32(lat2 * DEG)
    dlam = f32(f32(lon2 * DEG) - lam1)
    s1, c1 = sinf(phi1), cosf(phi1)
    s2, c2 = sinf(phi2), cosf(phi2)
    cd, sd = cosf(dlam), sinf(dlam)
    a = f32(sd * c2)
    b = f32(f32(c1 * s2) - f32(f32(s1 * c2) * cd))
    y = f32(math.sqrt(f32(f32(b * b) + f32(a * a))))
    x = f32(f32(f32(c1 * c2) * cd) + f32(s1 * s2))
    return atan2f(y, x)


def distance(lon1, lat1, lon2, lat2, radius=RADIUS):
    """None when a point is invalid (the module raises instead)."""
    lon1, lat1, lon2, lat2, radius = map(f32, (lon1, lat1, lon2, lat2, radius))
    if not valid(lon1, lat1) or not valid(lon2, lat2):
        return None
    return f32(angle(lon1, lat1, lon2, lat2) * radius)


def _divide(a, b):
    """IEEE division, where Python would raise ZeroDivisionError."""
    if b == 0.0:
        if math.isnan(a) or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def _scale(z):
    # The zoom's 32 bits read as a signed integer.
    exponent = z - 2**32 if z >= 2**31 else z
    return f32(_divide(1.0, powf(2.0, f32(exponent))))


def _lon(column, d):
    return f32(f32(f32(f32(column) * d) * 360.0) - 180.0)


def _lat(row, d):
    r = f32(row)
    t = f32(f32(r + r) * d)
    return f32(atanf(sinhf(f32(f32(1.0 - t) * PI))) * RAD)


def upper_left(x, y, z):
    d = _scale(z)
    return (_lon(x, d), _lat(y, d))


def bounds(x, y, z):
    d = _scale(z)
    return (
        _lon(x, d),
        f32(_lat(y + 1, d) + NUDGE),
        f32(_lon(x + 1, d) - NUDGE),
        _lat(y, d),
    )


def _clamp(value, limit):
    if math.isnan(value):
        return value
    return max(-limit, min(limit, value))


def expanded_bbox(x, y, z, expansion):
    """None when the expansion is refused (negative or NaN)."""
    expansion = f32(expansion)
    if not expansion >= 0.0:
        return None
    west, south, east, north = bounds(x, y, z)
    diag = f32(angle(west, north, east, south) * RADIUS)
    delta = f32(f32(f32(diag * 0.5) + expansion) / RADIUS)
    lc = f32(f32(f32(west + east) * 0.5) * DEG)
    pc = f32(f32(f32(north + south) * 0.5) * DEG)
    dl = asinf(f32(_divide(sinf(delta), cosf(pc))))
    return (
        _clamp(f32(f32(lc - dl) * RAD), 180.0),
        _clamp(f32(f32(pc - delta) * RAD), 90.0),
        _clamp(f32(f32(dl + lc) * RAD), 180.0),
        _clamp(f32(f32(delta + pc) * RAD), 90.0),
    )
