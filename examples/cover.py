"""The tiles that cover Paris at zooms 10 to 16: counted first, then listed
with their boxes, and checked against the city's own box.

    python examples/cover.py [--all]
"""

import sys

import quorlin
import quorlin_tiles

# Paris inside its ring road, (west, south, east, north).
PARIS = (2.2242, 48.8156, 2.4699, 48.9021)
ZOOMS = range(10, 17)

print(f"Paris {PARIS}")
total = quorlin_tiles.count_tiles(*PARIS, ZOOMS)
print(f"{total} tiles at zooms {ZOOMS.start} to {ZOOMS.stop - 1}:")
for z in ZOOMS:
    print(f"  zoom {z}: {quorlin_tiles.count_tiles(*PARIS, z)}")

# The listing is lazy: tiles are made as the loop asks for them.
shown = 0
for x, y, z in quorlin_tiles.tiles(*PARIS, ZOOMS):
    west, south, east, north = quorlin.wm_bounds(x, y, z)
    # Every tile of the cover meets the box, and owns part of it.
    assert west < PARIS[2] and east >= PARIS[0] and south < PARIS[3] and north >= PARIS[1]
    if shown < 12 or "--all" in sys.argv:
        print(f"  ({x}, {y}, {z}) quadkey {quorlin_tiles.quadkey(x, y, z):<16} "
              f"west {west:.6f} south {south:.6f} east {east:.6f} north {north:.6f}")
    shown += 1
if shown > 12 and "--all" not in sys.argv:
    print(f"  ... and {shown - 12} more (--all lists them)")
assert shown == total

print("smallest tile holding all of Paris:", quorlin_tiles.bounding_tile(*PARIS))
print("the tile of Notre-Dame at zoom 16:", quorlin_tiles.tile(2.3499, 48.8530, 16))
