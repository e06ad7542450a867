"""parse_last_expr_from_code: the last expression of a cell."""

import pytest

from trelvo_core.executors.utils import parse_last_expr_from_code


@pytest.mark.parametrize(
    "code, pair",
    [
        ("x = 1\nx + 1", ("x + 1", "x = 1\n")),
        ("x = 1", ("", "x = 1\n")),
        ("", ("", "\n")),
        ("a = 'é'; a.upper()", ("a.upper()", "a = 'é'; ")),
        ("f(1,\n  2)", ("f(1,\n  2)", "")),
        ("if x:\n    y\n", ("", "if x:\n    y\n")),
        ("%time 1", ("get_ipython().run_line_magic('time', '1')", "")),
        ("def (:", ("", "def (:")),
    ],
)
def test_last_expression_and_what_comes_before(code, pair):
    assert parse_last_expr_from_code(code) == pair


def test_needs_text():
    with pytest.raises(TypeError, match=r"Argument 'code' has incorrect type \(expected str, got bytes\)"):
        parse_last_expr_from_code(b"x")
