"""What users reach for today, doing the same jobs, for the benchmark.

Each entry maps a quorlin function to callables taking the same arguments
as the quorlin call (longitude first), adapting argument order and units
where the peer differs. Peers that are not installed are left out.
"""

import math

RADIUS = 6371009.0


# ---- plain Python, float64, the same formulas -------------------------------------

def py_distance_with_radius(lon1, lat1, lon2, lat2, radius):
    phi1, phi2 = math.radians(lat1), math.radians(lat2)
    dlam = math.radians(lon2) - math.radians(lon1)
    s1, c1, s2, c2 = math.sin(phi1), math.cos(phi1), math.sin(phi2), math.cos(phi2)
    cd, sd = math.cos(dlam), math.sin(dlam)
    a = sd * c2
    b = c1 * s2 - s1 * c2 * cd
    return math.atan2(math.sqrt(b * b + a * a), c1 * c2 * cd + s1 * s2) * radius


def py_distance(lon1, lat1, lon2, lat2):
    return py_distance_with_radius(lon1, lat1, lon2, lat2, RADIUS)


def _lat(row, d):
    return math.degrees(math.atan(math.sinh((1.0 - 2.0 * row * d) * math.pi)))


def py_upper_left(x, y, z):
    d = 1.0 / 2.0**z
    return (x * d * 360.0 - 180.0, _lat(y, d))


def py_bounds(x, y, z):
    d = 1.0 / 2.0**z
    return (x * d * 360.0 - 180.0, _lat(y + 1, d) + 1e-9,
            (x + 1) * d * 360.0 - 180.0 - 1e-9, _lat(y, d))


def py_expanded_bbox(x, y, z, expansion):
    west, south, east, north = py_bounds(x, y, z)
    diag = py_distance(west, north, east, south)
    delta = (diag * 0.5 + expansion) / RADIUS
    lc = math.radians((west + east) * 0.5)
    pc = math.radians((north + south) * 0.5)
    dl = math.asin(math.sin(delta) / math.cos(pc))
    clamp = lambda v, limit: max(-limit, min(limit, v))  # noqa: E731
    return (clamp(math.degrees(lc - dl), 180.0), clamp(math.degrees(pc - delta), 90.0),
            clamp(math.degrees(dl + lc), 180.0), clamp(math.degrees(delta + pc), 90.0))


def load():
    """{quorlin function name: [(peer label, callable), ...]}"""
    peers = {
        "great_circle_distance": [("plain Python float64", py_distance)],
        "great_circle_distance_with_radius": [("plain Python float64", py_distance_with_radius)],
        "wm_upper_left": [("plain Python float64", py_upper_left)],
        "wm_bounds": [("plain Python float64", py_bounds)],
        "wm_tile_expanded_bbox": [("plain Python float64", py_expanded_bbox)],
    }
    try:
        import mercantile
    except ImportError:
        pass
    else:
        peers["wm_upper_left"].append(("mercantile.ul", mercantile.ul))
        peers["wm_bounds"].append(("mercantile.bounds", mercantile.bounds))
    try:
        import utiles
    except ImportError:
        pass
    else:
        peers["wm_upper_left"].append(("utiles.ul", utiles.ul))
        peers["wm_bounds"].append(("utiles.bounds", utiles.bounds))
    try:
        import haversine
    except ImportError:
        pass
    else:
        def haversine_m(lon1, lat1, lon2, lat2, _h=haversine.haversine, _m=haversine.Unit.METERS):
            return _h((lat1, lon1), (lat2, lon2), unit=_m)

        peers["great_circle_distance"].append(("haversine.haversine", haversine_m))
    try:
        import pyproj
    except ImportError:
        pass
    else:
        inverse = pyproj.Geod(a=RADIUS, b=RADIUS).inv

        def pyproj_distance(lon1, lat1, lon2, lat2):
            return inverse(lon1, lat1, lon2, lat2)[2]

        peers["great_circle_distance"].append(("pyproj Geod.inv", pyproj_distance))
    try:
        from geographiclib.geodesic import Geodesic
    except ImportError:
        pass
    else:
        geodesic = Geodesic(RADIUS, 0)

        def geographiclib_distance(lon1, lat1, lon2, lat2, _inverse=geodesic.Inverse,
                                   _mask=Geodesic.DISTANCE):
            return _inverse(lat1, lon1, lat2, lon2, _mask)["s12"]

        peers["great_circle_distance"].append(("geographiclib Inverse", geographiclib_distance))
    return peers
