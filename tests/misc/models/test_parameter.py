"""TrelvoParameterModel and TrelvoParameterMetadataModel under the installed pydantic major."""

import pickle

import pydantic
import pytest

from trelvo_core.misc.models import parameter
from trelvo_core.misc.models.parameter import (
    TrelvoParameterMetadataModel,
    TrelvoParameterModel,
    _parameter_model_validator,
)

V1 = pydantic.VERSION < "2"


def fields(model):
    return list(model.__fields__ if V1 else model.model_fields)


def test_models_and_their_validator_registration():
    for model in (TrelvoParameterModel, TrelvoParameterMetadataModel):
        assert type(model) is type(pydantic.BaseModel) and model.__bases__ == (pydantic.BaseModel,)
        assert model.__module__ == "trelvo_core.misc.models.parameter"
    assert TrelvoParameterModel.__doc__ == "Parameter of TrelvoPipeline."
    assert TrelvoParameterMetadataModel.__doc__ == "Metadata of TrelvoPipeline parameter."
    assert fields(TrelvoParameterModel) == ["name", "type", "value", "metadata"]
    assert fields(TrelvoParameterMetadataModel) == [
        "resource_type", "resource_id", "resource_name", "dataset_version_id", "is_latest"]
    if V1:
        (validator,) = TrelvoParameterModel.__post_root_validators__
        assert validator[1] is _parameter_model_validator
        assert not TrelvoParameterModel.__pre_root_validators__
        assert parameter.root_validator is pydantic.root_validator
    else:
        info = TrelvoParameterModel.__pydantic_decorators__.model_validators["_validate"]
        assert info.func.__func__ is _parameter_model_validator and info.info.mode == "before"
        assert TrelvoParameterModel.model_config["coerce_numbers_to_str"] is True
        assert "coerce_numbers_to_str" not in TrelvoParameterMetadataModel.model_config


@pytest.mark.parametrize("value, type_, stored", [
    ("abc", "str", "'abc'"),
    ("'abc'", "str", "'abc'"),
    ("123", "str", "123"),
    ("a b", "str", "'a b'"),
    ("it's", "str", '"it\'s"'),
    ("abc", "int", "abc"),
    ("[1,", None, "[1,"),
    (5, "int", "5"),
    (5, "str", "5"),
])
def test_values(value, type_, stored):
    model = TrelvoParameterModel(name="p", type=type_, value=value)
    assert (model.type, model.value, model.metadata) == (type_, stored, None)
    assert pickle.loads(pickle.dumps(model)) == model


def test_metadata_and_validation_failures():
    metadata = TrelvoParameterMetadataModel(resource_type="orvane_model", resource_name="m")
    assert (metadata.resource_id, metadata.dataset_version_id, metadata.is_latest) == (None,) * 3
    model = TrelvoParameterModel(name="data", value="1", metadata={"resource_type": "orvane_dataset"})
    assert model.metadata.resource_type == "orvane_dataset"
    for bad in ({"value": "1"}, {"name": "p", "value": "1", "type": "set"},
                {"name": "p", "value": "1", "metadata": {"resource_type": "orvane_file"}}):
        with pytest.raises(pydantic.ValidationError):
            TrelvoParameterModel(**bad)
    with pytest.raises(KeyError):
        TrelvoParameterModel(name="p", type="str")


def test_the_validator_function():
    values = {"type": "str", "value": "x"}
    assert _parameter_model_validator(TrelvoParameterModel, values) is values
    assert values == {"type": "str", "value": "'x'"}
    with pytest.raises(TypeError, match=r"^Argument 'values' has incorrect type \(expected dict"):
        _parameter_model_validator(TrelvoParameterModel, [("type", "str")])
