"""A short tour of quorlin on real places and tiles."""

import quorlin

PLACES = {
    "Paris": (2.3522, 48.8566),
    "New York": (-74.0060, 40.7128),
    "Tokyo": (139.6917, 35.6895),
    "Sydney": (151.2093, -33.8688),
}

print("Great-circle distances (sphere of radius 6371009 m):")
paris = PLACES["Paris"]
for name, place in PLACES.items():
    if name != "Paris":
        km = quorlin.great_circle_distance(*paris, *place) / 1000
        print(f"  Paris -> {name:<9} {km:9.1f} km")

moon_radius = 1737400.0
print("Same angle on the Moon: "
      f"{quorlin.great_circle_distance_with_radius(*paris, *PLACES['Tokyo'], moon_radius) / 1000:.1f} km")

# The zoom-12 tile that holds the Eiffel Tower.
x, y, z = 2074, 1409, 12
print(f"\nTile {z}/{x}/{y}:")
print("  upper-left corner (lon, lat):", quorlin.wm_upper_left(x, y, z))
print("  bounds (west, south, east, north):", quorlin.wm_bounds(x, y, z))
print("  box of a circle reaching 500 m past its corners:",
      quorlin.wm_tile_expanded_bbox(x, y, z, 500.0))

# A broken precondition raises PanicException (a BaseException, so a plain
# `except Exception` lets it through) and reports on stderr where it failed.
print(flush=True)
try:
    quorlin.great_circle_distance(0.0, 91.0, 0.0, 0.0)
except BaseException as error:  # PanicException is not an Exception
    print(f"A latitude of 91 raises {type(error).__qualname__}: {error}")
