"""TrelvoPellory in a plain process: recording, forwarding, echoing, nesting and restoring.
The kernel side (display publisher, IOPub) is in test_capture_in_kernel.py."""

import logging
import pickle
import sys

import pytest

from trelvo_core.capture import TrelvoPellory
from trelvo_core.misc.models import TrelvoCapturedModel

PREFIX = "[TrelvoComponentName={}] "


class Streams:
    """Named text files standing in for the process's standard streams (pytest's own capture
    streams have no names, and it puts them back before every test phase, so tests install
    these themselves)."""

    def __init__(self, directory):
        self.out = open(directory / "stdout.txt", "w+", encoding="utf-8")
        self.err = open(directory / "stderr.txt", "w+", encoding="utf-8")

    def __enter__(self):
        self.saved = sys.stdout, sys.stderr
        sys.stdout, sys.stderr = self.out, self.err
        return self

    def __exit__(self, *exc_info):
        sys.stdout, sys.stderr = self.saved
        self.out.close()
        self.err.close()

    def readouterr(self):
        texts = []
        for stream in (self.out, self.err):
            stream.flush()
            stream.seek(0)
            texts.append(stream.read())
            stream.seek(0)
            stream.truncate()
        return tuple(texts)


@pytest.fixture
def streams(tmp_path):
    return Streams(tmp_path)


@pytest.fixture
def manager():
    made = []

    def make(**kwargs):
        made.append(TrelvoPellory(**kwargs))
        return made[-1]

    yield make
    for pellory in made:  # never leave the streams wrapped for the next test
        while pellory.has_remaining_context:
            pellory.unwrap_methods()


def records(captured):
    return [(r.type, r.name, r.text) for r in captured]


def test_class_and_interface():
    assert TrelvoPellory.__doc__.startswith("Wrapper manager for display-pub Session's send method.")
    assert "colorama.ansitowin32.StreamWrapper" in TrelvoPellory.__doc__
    assert TrelvoPellory.captured.fget.__annotations__ == {"return": "List[TrelvoCapturedModel]"}
    pellory = TrelvoPellory(metadata={"component_name": "c"})
    assert pellory.metadata == {"component_name": "c"}
    assert pellory.logger is logging.getLogger("trelvo_core.capture.pellory.TrelvoPellory")
    assert pellory.is_unwrapped and not pellory.has_remaining_context
    assert pellory._display_publish is None and pellory._clear_output is None
    for name in ("captured", "send_to_front", "verbose"):
        with pytest.raises(IndexError):
            getattr(pellory, name)
    with pytest.raises(IndexError):
        pellory.unwrap_methods()


def test_without_send_to_front_output_is_only_recorded(manager, streams):
    with streams as capsys:
        captured = []
        pellory = manager()
        pellory.wrap_methods(captured=captured, send_to_front=False, verbose=False)
        print("hello")
        sys.stderr.write("oops")
        assert sys.stdout.write("four") == 4
        pellory.unwrap_methods()
        assert records(captured) == [
            ("stream", "stdout", "hello"), ("stream", "stdout", "\n"),
            ("stream", "stderr", "oops"), ("stream", "stdout", "four")]
        assert capsys.readouterr() == ("", "")


def test_stream_records_are_the_models_own_in_every_part_of_their_state(manager, streams):
    with streams:
        captured = []
        pellory = manager()
        pellory.wrap_methods(captured=captured, send_to_front=False, verbose=False)
        sys.stdout.write("out é")
        sys.stderr.write("err")
        pellory.unwrap_methods()
    expected = [TrelvoCapturedModel(type="stream", name="stdout", text="out é"),
                TrelvoCapturedModel(type="stream", name="stderr", text="err")]
    fields_set = "model_fields_set" if hasattr(TrelvoCapturedModel, "model_fields_set") else "__fields_set__"
    for record, model in zip(captured, expected, strict=True):
        assert type(record) is TrelvoCapturedModel and record == model
        assert record.__dict__ == model.__dict__ and list(record.__dict__) == list(model.__dict__)
        assert getattr(record, fields_set) == getattr(model, fields_set) == {"type", "name", "text"}
        assert pickle.loads(pickle.dumps(record)) == model
        assert record.to_trelvo_dict() == model.to_trelvo_dict()
    # Each record owns its state.
    getattr(captured[0], fields_set).add("wait")
    captured[0].__dict__["text"] = "changed"
    assert getattr(captured[1], fields_set) == {"type", "name", "text"} and captured[1].text == "err"


def test_with_send_to_front_output_also_reaches_the_real_streams(manager, streams):
    with streams as capsys:
        captured = []
        pellory = manager()
        pellory.wrap_methods(captured, send_to_front=True, verbose=False)
        print("to out")
        print("to err", file=sys.stderr)
        pellory.unwrap_methods()
        assert capsys.readouterr() == ("to out\n", "to err\n")
        assert sys.stdout.name.endswith("stdout.txt")
        assert [r.name for r in captured] == ["stdout", "stdout", "stderr", "stderr"]


def test_verbose_echoes_prefixed_lines_on_the_real_stdout(manager, streams):
    with streams as capsys:
        captured = []
        pellory = manager(metadata={"component_name": "loader"})
        pellory.wrap_methods(captured, send_to_front=False)  # verbose defaults to True here
        print("one")
        sys.stdout.write("a\nb\n")
        sys.stdout.write("\n")
        pellory.unwrap_methods()
        out = capsys.readouterr()[0]
        prefix = PREFIX.format("loader")
        assert out == f"{prefix}one\n{prefix}a\n{prefix}b\n{prefix}\n"
        assert len(captured) == 4


def test_logger_lines_go_to_the_real_streams_uncaptured(manager, streams):
    with streams as capsys:
        captured = []
        pellory = manager(metadata={})
        pellory.wrap_methods(captured, send_to_front=False, verbose=False)
        pellory.logger.info("info line\nsecond")
        pellory.logger.error("error line")
        pellory.logger.info("\n")
        with pytest.raises(TypeError) as raised:
            pellory.logger.info("formatted %s", 1)
        pellory.unwrap_methods()
        assert str(raised.value) == "_logging_info() takes exactly 2 positional arguments (3 given)"
        prefix = PREFIX.format("None")
        assert capsys.readouterr() == (f"{prefix}info line\n{prefix}second\n", f"{prefix}error line\n")
        assert captured == []


def test_contexts_nest_and_the_originals_come_back_only_at_the_end(manager, streams):
    with streams as capsys:
        original_write = sys.stdout.write
        outer, inner = [], []
        pellory = manager()
        pellory.wrap_methods(outer, send_to_front=False, verbose=False)
        sys.stdout.write("a")
        pellory.wrap_methods(inner, send_to_front=True, verbose=False)
        sys.stdout.write("b")
        pellory.unwrap_methods()
        assert not pellory.is_unwrapped and pellory.has_remaining_context
        sys.stdout.write("c")
        pellory.unwrap_methods()
        assert [r.text for r in outer] == ["a", "c"] and [r.text for r in inner] == ["b"]
        assert pellory.is_unwrapped and sys.stdout.write == original_write
        assert "write" not in vars(sys.stdout) and "write" not in vars(sys.stderr)
        assert "info" not in vars(pellory.logger) and "error" not in vars(pellory.logger)
        assert capsys.readouterr()[0] == "b"


def test_a_second_manager_saves_and_restores_the_first_ones_replacements(manager, streams):
    with streams as capsys:
        first_list, second_list = [], []
        first = manager()
        first.wrap_methods(first_list, send_to_front=False, verbose=False)
        replaced = sys.stdout.write
        second = manager()
        assert second._stdout_write == replaced
        second.wrap_methods(second_list, send_to_front=True, verbose=False)
        sys.stdout.write("x")
        second.unwrap_methods()
        assert sys.stdout.write == replaced
        first.unwrap_methods()
        assert [r.text for r in second_list] == ["x"] and [r.text for r in first_list] == ["x"]
        assert capsys.readouterr()[0] == ""


def test_a_nameless_text_stream_counts_as_stdout(manager, monkeypatch):
    import io

    buffer_stream = io.TextIOWrapper(io.BytesIO(), encoding="utf-8")
    monkeypatch.setattr(sys, "stderr", buffer_stream)
    captured = []
    pellory = manager()
    pellory.wrap_methods(captured, send_to_front=False)
    sys.stderr.write("no name")
    pellory.unwrap_methods()
    assert records(captured) == [("stream", "stdout", "no name")]


def test_a_replaced_stdout_is_left_alone(manager, streams, monkeypatch):
    with streams as capsys:
        pellory = manager()
        monkeypatch.setattr(sys, "stdout", sys.stderr)
        pellory.wrap_methods([], send_to_front=False)
        assert "write" not in vars(sys.stderr)
        pellory.unwrap_methods()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: TrelvoPellory(metadata=[]),
         "Argument 'metadata' has incorrect type (expected dict, got list)"),
        (lambda: TrelvoPellory().store_context(captured=()),
         "Argument 'captured' has incorrect type (expected list, got tuple)"),
        (lambda: TrelvoPellory().wrap_methods(None),
         "Argument 'captured' has incorrect type (expected list, got NoneType)"),
        (lambda: TrelvoPellory().wrap_methods(),
         "wrap_methods() takes at least 2 positional arguments (1 given)"),
    ],
)
def test_bad_arguments(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message
    assert "write" not in vars(sys.stdout)


def test_wrapped_writers_check_their_arguments(manager):
    pellory = manager()
    pellory.wrap_methods([], send_to_front=False)
    with pytest.raises(TypeError) as raised:
        sys.stdout.write(b"bytes")
    assert str(raised.value) == "Argument 'string' has incorrect type (expected str, got bytes)"
    with pytest.raises(TypeError) as raised:
        sys.stdout.write()
    assert str(raised.value) == "_stream_write() takes exactly 2 positional arguments (1 given)"
    assert sys.stdout.write.__func__.__qualname__ == "TrelvoPellory.wrap_methods.<locals>._stream_write"
    pellory.unwrap_methods()


def test_metadata_must_be_a_dict_when_read():
    pellory = TrelvoPellory()
    pellory._metadata = "text"
    with pytest.raises(TypeError, match="^Expected dict, got str$"):
        pellory.metadata


def test_full_collections_wait_while_capturing_and_come_back(manager):
    import gc

    before = gc.get_threshold()
    outer, inner = manager(), manager()
    outer.wrap_methods([], send_to_front=False, verbose=False)
    try:
        held = gc.get_threshold()
        inner.wrap_methods([], send_to_front=False, verbose=False)  # a run inside a run
        inner.unwrap_methods()
        assert held == before[:2] + (max(before[2], 1000),) and gc.get_threshold() == held
    finally:
        outer.unwrap_methods()
    assert gc.get_threshold() == before
