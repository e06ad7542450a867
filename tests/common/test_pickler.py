"""TrelvoForkingPickler: a cloudpickle pickler with the forking pickler's register()."""

import inspect
import io
import pickle
from multiprocessing.reduction import ForkingPickler

import cloudpickle

from trelvo_core.common.pickler import TrelvoForkingPickler


def test_is_a_cloudpickle_pickler_with_the_documented_interface():
    assert issubclass(TrelvoForkingPickler, cloudpickle.Pickler)
    assert TrelvoForkingPickler.__doc__ == (
        "\n    Add a .register() method of multiprocessing.reduction.ForkingPickler by "
        "inheriting from cloudpickle.Pickler.\n    ")
    assert str(inspect.signature(TrelvoForkingPickler)) == "(file, protocol=None, buffer_callback=None)"


def test_pickles_what_plain_pickle_cannot_with_the_default_protocol():
    factor = 3
    buffer = io.BytesIO()
    TrelvoForkingPickler(buffer).dump(lambda x: x * factor)
    assert buffer.getvalue()[1] == cloudpickle.DEFAULT_PROTOCOL
    assert pickle.loads(buffer.getvalue())(2) == 6

    buffer = io.BytesIO()
    TrelvoForkingPickler(file=buffer, protocol=2).dump([1])
    assert buffer.getvalue()[1] == 2


def test_register_replaces_reducers_without_touching_the_standard_library():
    class Point:
        pass

    standard = dict(ForkingPickler._extra_reducers)

    class Sub(TrelvoForkingPickler):
        pass

    TrelvoForkingPickler.register(Point, str)
    Sub.register(Point, repr)
    assert TrelvoForkingPickler._extra_reducers[Point] is repr
    assert Sub._extra_reducers is TrelvoForkingPickler._extra_reducers
    assert ForkingPickler._extra_reducers == standard
    del TrelvoForkingPickler._extra_reducers[Point]


class Temperature:
    def __init__(self, degrees):
        self.degrees = degrees


def test_registered_reducers_apply_to_what_is_dumped():
    def as_text(value):
        return (str, (f"{value.degrees} degrees",))

    TrelvoForkingPickler.register(Temperature, as_text)
    try:
        buffer = io.BytesIO()
        TrelvoForkingPickler(buffer).dump({"today": Temperature(21), "f": lambda: 1})
        loaded = pickle.loads(buffer.getvalue())
        assert loaded["today"] == "21 degrees" and loaded["f"]() == 1
    finally:
        del TrelvoForkingPickler._extra_reducers[Temperature]
