"""The package's pydantic models."""

from http import HTTPStatus
from typing import Any, Dict, List, Optional, Union

import pydantic
from pydantic import BaseModel

from trelvo_core.misc import (
    TrelvoComponentStatus,
    TrelvoDiskcacheStatus,
    TrelvoPipelineCallbackProcedure,
    TrelvoPipelineCallbackStatus,
)
from trelvo_core.misc.models.captured import TrelvoCapturedModel

if pydantic.__version__ < "2.0.0":

    class _StatusTextModel(BaseModel):
        class Config:
            use_enum_values = True

    class _NestedModel(BaseModel):
        # pydantic 1 copies a model given as a field of another: a run's cache model, its
        # summary and every captured record would be copied once more on every run.
        class Config:
            copy_on_model_validation = "none"

else:

    class _StatusTextModel(BaseModel):
        model_config = pydantic.ConfigDict(use_enum_values=True)

    _NestedModel = BaseModel  # pydantic 2 does not copy nested models


class TrelvoComponentRemoteConfigModel(BaseModel):
    """Celery URLs of a remote worker."""

    backend: Optional[str] = None
    broker: Optional[str] = None

    def __bool__(self):
        # A configuration is usable only with both URLs.
        return bool(self.backend) and bool(self.broker)


class TrelvoComponentMetadataModel(BaseModel):
    """Metadata of a component."""

    componentType: Optional[str] = None
    diskcache: Optional[bool] = None
    remoteExecution: Optional[TrelvoComponentRemoteConfigModel] = None


class TrelvoComponentOutputsSummaryModel(_NestedModel):
    """A run's new or changed outputs by kind."""

    # A factory, not a shared default: pydantic would copy a list default on every run.
    classes: List[str] = pydantic.Field(default_factory=list)
    functions: List[str] = pydantic.Field(default_factory=list)
    objects: List[str] = pydantic.Field(default_factory=list)
    modules: List[str] = pydantic.Field(default_factory=list)


class TrelvoCacheModel(_NestedModel):
    """The results of one run, or its error."""

    module_statements: Optional[Dict[str, str]] = None
    non_module_outputs: Optional[Dict[str, Any]] = None
    last_output: Any = None
    captured: Optional[List[TrelvoCapturedModel]] = None
    outputs_summary: Optional[TrelvoComponentOutputsSummaryModel] = None
    exception_msg: Optional[List[str]] = None


class TrelvoExecutionRequestModel(BaseModel):
    """What one run of a component's cell needs."""

    cell_code: Optional[str] = None
    module_statements: Optional[Dict[str, str]] = None
    non_module_inputs: Optional[Dict[str, Any]] = None
    parameters: Optional[Dict[str, Any]] = None
    credentials: Optional[Dict[str, Any]] = None


class TrelvoExecutionResponseModel(BaseModel):
    """The outcome of one run."""

    status: Optional[HTTPStatus] = None
    result: Optional[TrelvoCacheModel] = None
    message: Optional[str] = None


class TrelvoComponentModel(_StatusTextModel):
    """A component as it is saved and restored."""

    identifier: Optional[str] = None
    name: Optional[str] = None
    code: Optional[str] = None
    metadata: Optional[TrelvoComponentMetadataModel] = None
    # Members are stored as their text; text from elsewhere is kept in whatever letter case.
    execution_status: Optional[Union[TrelvoComponentStatus, str]] = None
    diskcache_status: Optional[Union[TrelvoDiskcacheStatus, str]] = None
    parents: Optional[List[Dict[str, Any]]] = None
    diskcache_dir: Optional[str] = None
    imports: Optional[List[str]] = None
    inputs: Optional[List[str]] = None
    outputs: Optional[List[str]] = None
    summary: Optional[TrelvoComponentOutputsSummaryModel] = None
    captured: Optional[List[TrelvoCapturedModel]] = None
    last_execution: Optional[str] = None


class TrelvoPipelineCallbackDataModel(_StatusTextModel):
    """One progress report for the API server."""

    procedure: Optional[TrelvoPipelineCallbackProcedure] = None
    status: Optional[TrelvoPipelineCallbackStatus] = None
    msg: Optional[str] = None
    successful: Optional[Dict[str, Any]] = None


__all__ = [
    "TrelvoCacheModel",
    "TrelvoCapturedModel",
    "TrelvoComponentMetadataModel",
    "TrelvoComponentModel",
    "TrelvoComponentOutputsSummaryModel",
    "TrelvoComponentRemoteConfigModel",
    "TrelvoExecutionRequestModel",
    "TrelvoExecutionResponseModel",
    "TrelvoPipelineCallbackDataModel",
]
