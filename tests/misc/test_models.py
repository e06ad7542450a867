"""The shared models and enumerations."""

import pickle
from http import HTTPStatus

import cloudpickle
import pytest
from IPython.core.interactiveshell import InteractiveShell

from trelvo_core.misc import (
    TrelvoComponentStatus,
    TrelvoDiskcacheStatus,
    TrelvoPipelineCallbackProcedure,
    TrelvoPipelineCallbackStatus,
    TrelvoPipelineError,
)
from trelvo_core.misc.models import (
    TrelvoCacheModel,
    TrelvoCapturedModel,
    TrelvoComponentMetadataModel,
    TrelvoComponentModel,
    TrelvoComponentOutputsSummaryModel,
    TrelvoComponentRemoteConfigModel,
    TrelvoExecutionResponseModel,
    TrelvoPipelineCallbackDataModel,
)


def test_statuses_are_stored_as_text_whose_upper_case_is_the_member_name():
    model = TrelvoComponentModel(execution_status=TrelvoComponentStatus.FAILED,
                                 diskcache_status=TrelvoDiskcacheStatus.CACHED)
    assert type(model.execution_status) is str
    assert TrelvoComponentStatus[model.execution_status.upper()] is TrelvoComponentStatus.FAILED
    assert TrelvoDiskcacheStatus[model.diskcache_status.upper()] is TrelvoDiskcacheStatus.CACHED
    assert TrelvoComponentStatus.RUNNING in [TrelvoComponentStatus.RUNNING]


def test_fields_default_to_none_and_are_assignable():
    model = TrelvoComponentModel()
    assert model.identifier is None and model.captured is None
    model.name = "cell"
    assert model.name == "cell"
    summary = TrelvoComponentOutputsSummaryModel()
    summary.classes.append("A")
    assert TrelvoComponentOutputsSummaryModel().classes == []


def test_remote_config_truth_needs_both_urls():
    assert not TrelvoComponentRemoteConfigModel()
    assert not TrelvoComponentRemoteConfigModel(broker="redis://x")
    config = TrelvoComponentRemoteConfigModel(backend="redis://a", broker="redis://b")
    assert config and config == TrelvoComponentRemoteConfigModel(backend="redis://a", broker="redis://b")
    assert TrelvoComponentMetadataModel(componentType="Norvel", remoteExecution=config) == \
        TrelvoComponentMetadataModel(componentType="Norvel", remoteExecution=config)


def test_response_keeps_the_http_status_and_pickles_with_cloudpickle():
    response = TrelvoExecutionResponseModel(
        status=HTTPStatus.PARTIAL_CONTENT,
        result=TrelvoCacheModel(non_module_outputs={"f": lambda: 5}, last_output=[1],
                                captured=[TrelvoCapturedModel(type="stream", name="stdout", text="x")]),
    )
    restored = cloudpickle.loads(cloudpickle.dumps(response))
    assert restored.status is HTTPStatus.PARTIAL_CONTENT
    assert restored.result.non_module_outputs["f"]() == 5
    assert restored.result.captured[0].text == "x"


def test_callback_data_serialises_to_json():
    import pydantic

    data = TrelvoPipelineCallbackDataModel(
        procedure=TrelvoPipelineCallbackProcedure.HPO_COMPLETED,
        status=TrelvoPipelineCallbackStatus.SUCCESSFUL, msg="", successful={"best": 1})
    text = data.json() if pydantic.__version__ < "2.0.0" else data.model_dump_json()
    assert '"procedure":"HPO_COMPLETED"' in text.replace(" ", "")
    assert '"successful":{"best":1}' in text.replace(" ", "")


def test_pipeline_error_renders_its_lines_and_pickles():
    lines = ["\x1b[0;31mValueError\x1b[0m: boom", "second"]
    error = TrelvoPipelineError(picked_stb=lines, ipython_shell=InteractiveShell.instance())
    assert isinstance(error, Exception)
    assert str(error) == InteractiveShell.instance().InteractiveTB.stb2text(lines)
    assert str(TrelvoPipelineError(lines, None)) == "\n".join(lines)
    restored = pickle.loads(pickle.dumps(error))
    assert restored.picked_stb == lines and restored.ipython_shell is None
    with pytest.raises(TrelvoPipelineError):
        raise error
