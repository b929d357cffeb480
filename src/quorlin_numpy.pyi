from numpy import ufunc

__all__ = [
    "great_circle_distance",
    "great_circle_distance_with_radius",
    "wm_upper_left",
    "wm_bounds",
    "wm_tile_expanded_bbox",
    "valid_coordinates",
]

great_circle_distance: ufunc
great_circle_distance_with_radius: ufunc
wm_upper_left: ufunc
wm_bounds: ufunc
wm_tile_expanded_bbox: ufunc
valid_coordinates: ufunc
