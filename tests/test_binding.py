"""How arguments are matched to parameters, and the messages when they are
not. Every message is compared whole."""

import pytest

import quorlin
from conftest import raw_fastcall

gcd = quorlin.great_circle_distance
gcdr = quorlin.great_circle_distance_with_radius
ul = quorlin.wm_upper_left
bounds = quorlin.wm_bounds
bbox = quorlin.wm_tile_expanded_bbox


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: gcd(1, 2, 3, 4, 5),
         "great_circle_distance() takes 4 positional arguments but 5 were given"),
        # Keywords are not looked at once there are too many positionals.
        (lambda: gcd(1, 2, 3, 4, 5, nope=1),
         "great_circle_distance() takes 4 positional arguments but 5 were given"),
        (lambda: bounds(1, 2, 3, 4, 5, 6),
         "wm_bounds() takes 3 positional arguments but 6 were given"),
        (lambda: gcdr(),
         "great_circle_distance_with_radius() missing 5 required positional "
         "arguments: 'lon1', 'lat1', 'lon2', 'lat2', and 'radius'"),
        (lambda: bounds(1),
         "wm_bounds() missing 2 required positional arguments: 'y' and 'z'"),
        (lambda: ul(1, 2),
         "wm_upper_left() missing 1 required positional argument: 'z'"),
        (lambda: bbox(),
         "wm_tile_expanded_bbox() missing 4 required positional arguments: "
         "'x', 'y', 'z', and 'expansion_meters'"),
        (lambda: gcd(lon1=0, lat1=0, lon2=0),
         "great_circle_distance() missing 1 required positional argument: 'lat2'"),
        (lambda: gcd(0, lat2=0),
         "great_circle_distance() missing 2 required positional arguments: "
         "'lat1' and 'lon2'"),
        (lambda: ul(1, 2, 3, x=4),
         "wm_upper_left() got multiple values for argument 'x'"),
        (lambda: ul(1, 2, z=3, y=4),
         "wm_upper_left() got multiple values for argument 'y'"),
        (lambda: bounds(1, 2, 3, w=0),
         "wm_bounds() got an unexpected keyword argument 'w'"),
        (lambda: bounds(1, w=0),
         "wm_bounds() got an unexpected keyword argument 'w'"),
        (lambda: bounds(1, 2, 3, b=0, a=0),
         "wm_bounds() got an unexpected keyword argument 'b'"),
        (lambda: bounds(x=1, y=2, Z=3),
         "wm_bounds() got an unexpected keyword argument 'Z'"),
        (lambda: gcd(**{"lon1": 0, "lat1": 0, "lon2": 0, "lat2": 0, "lat": 0}),
         "great_circle_distance() got an unexpected keyword argument 'lat'"),
        (lambda: bounds(1, 2, 3, **{"é": 0}),
         "wm_bounds() got an unexpected keyword argument 'é'"),
        # A lone surrogate cannot be encoded: each of its three bytes shows as
        # a replacement character.
        (lambda: bounds(1, 2, 3, **{"a\udc80b": 0}),
         "wm_bounds() got an unexpected keyword argument 'a\ufffd\ufffd\ufffdb'"),
        # Binding is complete before any argument is converted.
        (lambda: gcd("a"),
         "great_circle_distance() missing 3 required positional arguments: "
         "'lat1', 'lon2', and 'lat2'"),
        (lambda: bounds(None, None, None, None),
         "wm_bounds() takes 3 positional arguments but 4 were given"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert type(raised.value) is TypeError
    assert raised.value.args == (message,)
    assert raised.value.__cause__ is None


def test_str_subclass_keyword_names_are_matched_by_text():
    class Name(str):
        pass

    assert bounds(1, 2, **{Name("z"): 3}) == bounds(1, 2, 3)
    with pytest.raises(TypeError, match=r"^wm_bounds\(\) got an unexpected keyword argument 'q'$"):
        bounds(1, 2, 3, **{Name("q"): 0})


def test_unexpected_keyword_shows_the_name_as_str_gives_it():
    class Name(str):
        def __str__(self):
            return "shown"

    with pytest.raises(TypeError) as raised:
        bounds(1, 2, 3, **{Name("w"): 0})
    assert raised.value.args == ("wm_bounds() got an unexpected keyword argument 'shown'",)


def test_keyword_name_that_is_not_a_str():
    with pytest.raises(TypeError) as raised:
        raw_fastcall(bounds, (1, 2, 3, 0), (5,))
    assert raised.value.args == ("'int' object cannot be converted to 'PyString'",)
    with pytest.raises(TypeError) as raised:
        raw_fastcall(bounds, (1, 2, 3, 0), (b"w",))
    assert raised.value.args == ("'bytes' object cannot be converted to 'PyString'",)


def test_fast_call_keywords_bind_like_ordinary_ones():
    assert raw_fastcall(bounds, (1, 2, 3), ("z",)) == bounds(1, 2, 3)
    assert raw_fastcall(gcdr, (0, 0, 1, 2.0, 3.0), ("radius", "lat2")) == gcdr(0, 0, 1, 3.0, 2.0)


def test_message_that_cannot_be_composed_raises_panic(panic_exception):
    class Name(str):
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(panic_exception) as raised:
        bounds(1, 2, 3, **{Name("w"): 0})
    assert raised.value.args == ("formatting an error message failed",)
    # Nothing is left behind: the next call is fine.
    assert bounds(1, 1, 1) == (0.0, bounds(1, 1, 1)[1], 180.0, 0.0)
