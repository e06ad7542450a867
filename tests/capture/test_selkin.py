"""TrelvoSelkin outside a kernel: what is replayed, in which order, on which stream."""

import pytest

from trelvo_core.capture import TrelvoSelkin
from trelvo_core.misc.models import TrelvoCapturedModel


def stream(text, name="stdout"):
    return TrelvoCapturedModel(type="stream", name=name, text=text)


def test_interface():
    assert TrelvoSelkin.__doc__.startswith(
        "Simple object for containing captured Trelvo stdout/err and display StringIO objects.")
    assert "can be invoked simply via ``c()``." in TrelvoSelkin.__doc__
    assert TrelvoSelkin.__call__ is TrelvoSelkin.show
    given = [stream("x")]
    assert TrelvoSelkin(captured=given).captured is given
    assert TrelvoSelkin().captured == []


def test_replays_text_after_the_last_clear_in_order(capsys):
    records = [stream("lost"), TrelvoCapturedModel(type="clear_output", wait=True),
               stream("one "), stream("two", "<stderr>"),
               TrelvoCapturedModel(type="display_data", data={"text/plain": "rich"}),
               stream(" three")]
    TrelvoSelkin(captured=records).show(component_id="c7")
    assert capsys.readouterr() == ("one  three", "two")


@pytest.mark.parametrize("records", [[], [stream("a"), TrelvoCapturedModel(type="clear_output")]])
def test_nothing_to_show(records, capsys):
    TrelvoSelkin(captured=records)()
    assert capsys.readouterr() == ("", "")


def test_replay_works_on_copies_that_share_metadata():
    shared = {"origin": "run"}
    records = [stream("x"), TrelvoCapturedModel(type="display_data", data={"a": 1}, metadata=shared)]
    selkin = TrelvoSelkin(captured=records)
    selkin.show()
    assert records[0].data is None and records[0].metadata is None
    assert records[1].metadata == {"origin": "run", "component_id": None}
    selkin(component_id="c1")
    assert records[1].metadata["component_id"] == "c1"


def test_bad_arguments():
    with pytest.raises(TypeError) as raised:
        TrelvoSelkin(captured=(1,))
    assert str(raised.value) == "Argument 'captured' has incorrect type (expected list, got tuple)"
    with pytest.raises(TypeError) as raised:
        TrelvoSelkin().show(component_id=3)
    assert str(raised.value) == "Argument 'component_id' has incorrect type (expected str, got int)"


def test_a_display_record_without_data_fails_outside_a_kernel():
    with pytest.raises(TypeError):
        TrelvoSelkin(captured=[TrelvoCapturedModel(type="display_data")]).show()
