"""SingletonInstance and Draffen: one instance per class, rendering through both formatters."""

import jinja2
import pytest

from trelvo_core.misc.templates import draffen
from trelvo_core.misc.templates.draffen import Draffen, SingletonInstance


def test_one_instance_per_class_in_one_shared_dictionary():
    assert SingletonInstance.__bases__ == (type,) and type(Draffen) is SingletonInstance
    assert SingletonInstance.__doc__ == "Singleton base class."
    assert SingletonInstance.__annotations__ == {"_instances": "Dict[Any, Any]"}
    inits = []

    class Counted(Draffen):
        def __init__(self, tag=None):
            super().__init__()
            inits.append(tag)

    first = Counted("first")
    assert Counted("second") is first and inits == ["first"]  # later arguments are ignored
    assert Draffen() is Draffen() and Draffen() is not first
    assert SingletonInstance._instances is Counted._instances is Draffen._instances
    assert SingletonInstance._instances[Counted] is first
    assert first._template is None and isinstance(first._template_env.loader, jinja2.FileSystemLoader)
    assert first._template_env.loader.searchpath == [draffen.os.path.dirname(draffen.__file__)]


def test_render_formats_with_black_then_isort(monkeypatch):
    calls = []
    for name in ("format_with_black", "format_with_isort"):
        real = getattr(draffen, name)
        monkeypatch.setattr(draffen, name, lambda *a, _n=name, _f=real, **k: (
            calls.append((_n, a, sorted(k))), _f(**k))[1])

    class Shaped(Draffen):
        def __init__(self):
            super().__init__()
            self._template = self._template_env.from_string(
                "import sys\nimport os\nx = {{ value|default('[1,2]') }}")

    assert Shaped().render() == "import os\nimport sys\n\nx = [1, 2]\n"
    assert Shaped().render(value="{'a':1}") == "import os\nimport sys\n\nx = {\"a\": 1}\n"
    assert calls[:2] == [("format_with_black", (), ["code"]), ("format_with_isort", (), ["code"])]


def test_render_errors_reach_the_caller_unchanged():
    with pytest.raises(RuntimeError, match="^No Jinja2 templates loaded.$"):
        Draffen().render(x=1)
    assert Draffen()._template is None

    class Failing(Draffen):
        pass

    failing = Failing()
    failing._template = failing._template_env.from_string("{{ 1 / 0 }}")
    with pytest.raises(ZeroDivisionError):
        failing.render()
    failing._template = failing._template_env.from_string("x = (")
    with pytest.raises(Exception) as raised:  # black's own error, unwrapped
        failing.render()
    assert type(raised.value).__module__.startswith("black")

    class NotText:  # no real template renders anything but text
        def render(self, **kwargs):
            return b"x = 1"

    failing._template = NotText()
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        failing.render()
