"""TrelvoCapturedModel: the record, its two formats and their failures."""

import inspect
import pickle

import cloudpickle
import nbformat
import pydantic
import pytest

from trelvo_core.misc.models import TrelvoCapturedModel

KEYS = ["type", "wait", "data", "metadata", "transient", "update", "name", "text", "execution_count"]
INVALID = "'. Expected one of ['clear_output', 'display_data', 'execute_result', 'stream']."


def test_class_is_an_ordinary_pydantic_model():
    assert issubclass(TrelvoCapturedModel, pydantic.BaseModel)
    assert type(TrelvoCapturedModel) is type(pydantic.BaseModel)
    assert TrelvoCapturedModel.__doc__ == "Model definition for captured outputs of TrelvoSelkin."
    assert TrelvoCapturedModel.__module__ == "trelvo_core.misc.models.captured"
    assert TrelvoCapturedModel.__annotations__ == {
        "type": "Literal['clear_output', 'display_data', 'execute_result', 'stream']",
        "wait": "bool",
        "data": "Optional[Dict[str, Any]]",
        "metadata": "Optional[Dict[str, Any]]",
        "transient": "Optional[Dict[str, Any]]",
        "update": "bool",
        "name": "Optional[Literal['stderr', 'stdout', '<stderr>', '<stdout>']]",
        "text": "Optional[str]",
        "execution_count": "Optional[int]",
        "to_ipynb_output": "ClassVar[Callable]",
        "to_trelvo_dict": "ClassVar[Callable]",
    }
    fields = getattr(TrelvoCapturedModel, "model_fields", None) or TrelvoCapturedModel.__fields__
    assert list(fields) == KEYS


@pytest.mark.parametrize(
    "method, doc, signature",
    [
        ("from_ipynb_output", "Create a TrelvoCapturedModel from IPython Notebook cell output.",
         "(output_obj: 'Dict[str, Any]') -> \"'TrelvoCapturedModel'\""),
        ("to_ipynb_output", "Export to IPython Notebook cell output.",
         "(self) -> 'Dict[str, Any]'"),
        ("from_trelvo_dict", "Create a TrelvoCapturedModel from Trelvo JSON object.",
         "(dict_obj: 'Dict[str, Any]') -> \"'TrelvoCapturedModel'\""),
        ("to_trelvo_dict", "Export to Trelvo JSON object.", "(self) -> 'Dict[str, Any]'"),
    ],
)
def test_methods_are_documented_and_annotated(method, doc, signature):
    function = getattr(TrelvoCapturedModel, method)
    assert function.__doc__ == doc
    assert function.__name__ == method
    assert function.__qualname__ == f"TrelvoCapturedModel.{method}"
    assert str(inspect.signature(function)) == signature


def test_subclasses_build_their_own_records():
    class Sub(TrelvoCapturedModel):
        pass

    record = Sub.from_ipynb_output({"output_type": "clear_output"})
    assert type(record) is Sub
    assert type(Sub.from_trelvo_dict(record.to_trelvo_dict())) is Sub


@pytest.mark.parametrize("dumps", [pickle.dumps, cloudpickle.dumps])
def test_records_and_bound_methods_pickle(dumps):
    record = TrelvoCapturedModel(type="stream", name="stdout", text="x")
    assert pickle.loads(dumps(record)) == record
    assert pickle.loads(dumps(record.to_ipynb_output))() == record.to_ipynb_output()
    assert pickle.loads(dumps(TrelvoCapturedModel.from_trelvo_dict)) == TrelvoCapturedModel.from_trelvo_dict


def test_trelvo_dict_has_all_nine_keys_in_order():
    record = TrelvoCapturedModel(type="stream", name="stdout", text="hi")
    dumped = record.to_trelvo_dict()
    assert list(dumped) == KEYS
    assert dumped == {"type": "stream", "wait": False, "data": None, "metadata": None,
                      "transient": None, "update": False, "name": "stdout", "text": "hi",
                      "execution_count": None}
    assert TrelvoCapturedModel.from_trelvo_dict(dumped) == record


def test_from_trelvo_dict_ignores_unknown_keys_and_leaves_its_argument_alone():
    given = {"type": "display_data", "data": {"text/plain": "1"}, "extra": 1}
    record = TrelvoCapturedModel.from_trelvo_dict(given)
    assert record.data == {"text/plain": "1"}
    assert given == {"type": "display_data", "data": {"text/plain": "1"}, "extra": 1}


@pytest.mark.parametrize(
    "record, ipynb",
    [
        (dict(type="clear_output", wait=True),
         {"metadata": None, "output_type": "clear_output"}),
        (dict(type="display_data", data={"text/plain": "x"}, metadata={"a": 1},
              transient={"display_id": "d"}, update=True),
         {"data": {"text/plain": "x"}, "metadata": {"a": 1}, "output_type": "display_data"}),
        (dict(type="execute_result", data={"text/plain": "2"}, metadata={}, execution_count=3),
         {"data": {"text/plain": "2"}, "metadata": {}, "output_type": "execute_result",
          "execution_count": 3}),
        (dict(type="stream", name="stderr", text="a\nb"),
         {"name": "stderr", "output_type": "stream", "text": ["a\n", "b\n"]}),
    ],
)
def test_to_ipynb_output_writes_the_keys_in_order(record, ipynb):
    written = TrelvoCapturedModel(**record).to_ipynb_output()
    assert written == ipynb
    assert list(written) == list(ipynb)


@pytest.mark.parametrize(
    "text, lines, read_back",
    [
        ("a\nb", ["a\n", "b\n"], "a\nb\n"),
        ("a\n", ["a\n", "\n"], "a\n\n"),
        ("", ["\n"], "\n"),
        ("x\udcff", ["x\udcff\n"], "x\udcff\n"),
    ],
)
def test_stream_round_trip_appends_exactly_one_newline(text, lines, read_back):
    written = TrelvoCapturedModel(type="stream", name="stdout", text=text).to_ipynb_output()
    assert written["text"] == lines
    assert TrelvoCapturedModel.from_ipynb_output(written).text == read_back


def test_what_ipynb_does_not_carry_is_lost_on_the_way_back():
    cleared = TrelvoCapturedModel(type="clear_output", wait=True)
    assert TrelvoCapturedModel.from_ipynb_output(cleared.to_ipynb_output()).wait is False
    display = TrelvoCapturedModel.from_ipynb_output(
        {"output_type": "display_data", "data": {"text/plain": "x"}, "transient": {"a": 1}})
    assert display.metadata is None and display.transient is None
    assert display.to_ipynb_output()["metadata"] is None


@pytest.mark.parametrize("name", ["stdout", "stderr", "<stdout>", "<stderr>"])
def test_all_four_stream_names_are_valid(name):
    record = TrelvoCapturedModel.from_ipynb_output(
        {"output_type": "stream", "name": name, "text": ["x"]})
    assert record.name == name


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: TrelvoCapturedModel.from_ipynb_output([]), TypeError,
         "Argument 'output_obj' has incorrect type (expected dict, got list)"),
        (lambda: TrelvoCapturedModel.from_trelvo_dict(None), TypeError,
         "Argument 'dict_obj' has incorrect type (expected dict, got NoneType)"),
        (lambda: TrelvoCapturedModel.from_ipynb_output({"output_type": 3}), TypeError,
         "Expected str, got int"),
        (lambda: TrelvoCapturedModel.from_ipynb_output({"output_type": "error"}), ValueError,
         "Invalid 'type': 'error" + INVALID),
        (lambda: TrelvoCapturedModel.from_ipynb_output({"output_type": None}), ValueError,
         "Invalid 'type': 'None" + INVALID),
        (lambda: TrelvoCapturedModel.from_ipynb_output(
            {"output_type": "stream", "name": "stdout", "text": "a string"}), TypeError,
         "Expected list, got str"),
        (lambda: TrelvoCapturedModel.from_ipynb_output(), TypeError,
         "from_ipynb_output() takes exactly 2 positional arguments (1 given)"),
        (lambda: TrelvoCapturedModel(type="stream").to_ipynb_output(1), TypeError,
         "to_ipynb_output() takes exactly 1 positional argument (2 given)"),
        (lambda: TrelvoCapturedModel.from_trelvo_dict({}, dict_obj={}), TypeError,
         "from_trelvo_dict() got multiple values for keyword argument 'dict_obj'"),
        (lambda: TrelvoCapturedModel.from_trelvo_dict(dict_obj={}, extra=1), TypeError,
         "from_trelvo_dict() got an unexpected keyword argument 'extra'"),
    ],
)
def test_bad_input_raises_the_documented_error(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "record, key",
    [
        ({}, "output_type"),
        ({"output_type": "display_data"}, "data"),
        ({"output_type": "execute_result"}, "data"),
        ({"output_type": "stream", "name": "stdout"}, "text"),
        ({"output_type": "stream", "text": []}, "name"),
    ],
)
def test_missing_required_keys_raise_key_error(record, key):
    with pytest.raises(KeyError) as raised:
        TrelvoCapturedModel.from_ipynb_output(record)
    assert raised.value.args == (key,)


@pytest.mark.parametrize("text", [None, ["a", 1]])
def test_stream_lines_must_be_strings(text):
    with pytest.raises(TypeError):
        TrelvoCapturedModel.from_ipynb_output({"output_type": "stream", "name": "stdout", "text": text})


@pytest.mark.parametrize(
    "fields", [dict(type="table"), dict(type="stream", name="stdin"), dict(type="stream", wait=[1])]
)
def test_pydantic_rejects_bad_fields(fields):
    with pytest.raises(pydantic.ValidationError):
        TrelvoCapturedModel(**fields)


def test_to_ipynb_output_of_bad_records():
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'split'"):
        TrelvoCapturedModel(type="stream").to_ipynb_output()
    record = TrelvoCapturedModel(type="stream", text="x")
    record.type = "error"
    with pytest.raises(ValueError) as raised:
        record.to_ipynb_output()
    assert str(raised.value) == "Invalid 'type': 'error" + INVALID


def test_written_records_validate_as_notebook_outputs():
    records = [
        TrelvoCapturedModel(type="stream", name="stdout", text="hello\nworld"),
        TrelvoCapturedModel(type="display_data", data={"text/plain": "x"}, metadata={}),
        TrelvoCapturedModel(type="execute_result", data={"text/plain": "1"}, metadata={},
                            execution_count=1),
    ]
    notebook = nbformat.v4.new_notebook()
    cell = nbformat.v4.new_code_cell("print('hello')", execution_count=1)
    cell.outputs = [nbformat.from_dict(r.to_ipynb_output()) for r in records]
    notebook.cells.append(cell)
    nbformat.validate(notebook)
    read_back = [TrelvoCapturedModel.from_ipynb_output(dict(o)) for o in cell.outputs]
    assert [r.type for r in read_back] == ["stream", "display_data", "execute_result"]
