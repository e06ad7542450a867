"""TrelvoComponentNorvel: construction, properties, status machine and parents."""

import inspect
import sys

import numpy as np
import pytest

from trelvo_core.components.norvel import TrelvoComponentNorvel
from trelvo_core.misc import TrelvoComponentStatus as Status
from trelvo_core.misc import TrelvoDiskcacheStatus as DiskStatus
from trelvo_core.misc import TrelvoPipelineError
from trelvo_core.misc.models import (
    TrelvoCacheModel,
    TrelvoComponentMetadataModel,
    TrelvoComponentRemoteConfigModel,
)

ATTRIBUTES = ["_id", "_name", "_cell_code", "_metadata", "_ipython_shell", "_status", "_parents",
              "_module_statements", "_non_module_outputs", "_last_output", "_captured",
              "_exception_msg", "_diskcache_dir", "_diskcache_task", "_diskcache_status",
              "_import_statements", "_non_module_inputs_names", "_non_module_outputs_names",
              "_outputs_summary"]
RESULTS = ["module_statements", "non_module_outputs", "outputs", "last_output", "captured",
           "exception_msg", "exception"]


def test_a_new_component(make_component, shell):
    component = make_component()
    assert type(TrelvoComponentNorvel) is type
    assert TrelvoComponentNorvel.__doc__ == (
        "Data structure to represent a code cell in a pipeline (or a graph node.)")
    assert list(vars(component)) == ATTRIBUTES
    assert component.status is Status.INVALID and component.diskcache_status is DiskStatus.UNCACHED
    assert all(getattr(component, name) is None for name in RESULTS)
    assert (component.id, component.name, component.component_type) == ("c1", "comp", "Norvel")
    assert component._ipython_shell is shell
    assert str(inspect.signature(TrelvoComponentNorvel)) == (
        "(identifier: 'str', name: 'str', code: 'str', "
        "metadata: 'Optional[TrelvoComponentMetadataModel]' = None, "
        "ipython_shell: 'Optional[InteractiveShell]' = None)")


def test_default_metadata_and_the_running_shell_are_found(shell):
    component = TrelvoComponentNorvel("i", "n", "c")
    assert component.metadata == TrelvoComponentMetadataModel(componentType="Norvel")
    assert component._ipython_shell is shell


def test_without_a_shell_the_kernel_application_starts(python):
    output = python(
        """
        import sys
        out = sys.stdout
        from trelvo_core.components.norvel import TrelvoComponentNorvel
        from trelvo_core.ipython import TrelvoIPKernelApp, get_ipython_shell
        component = TrelvoComponentNorvel("i", "n", "c")
        print(component._ipython_shell is TrelvoIPKernelApp.instance().shell,
              get_ipython_shell() is component._ipython_shell, sys.stdout is out)
        """
    )
    assert output.strip().endswith("True True True")


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, "n", "c"), "Argument 'identifier' has incorrect type (expected str, got int)"),
        (("i", None, "c"), "Argument 'name' has incorrect type (expected str, got NoneType)"),
        (("i", "n", b"c"), "Argument 'code' has incorrect type (expected str, got bytes)"),
        (("i",), "__init__() takes at least 4 positional arguments (2 given)"),
    ],
)
def test_constructor_arguments(shell, args, message):
    with pytest.raises(TypeError) as raised:
        TrelvoComponentNorvel(*args, ipython_shell=shell)
    assert str(raised.value) == message


class TrelvoComponentSpecial(TrelvoComponentNorvel):
    pass


def test_subclass_names_must_start_with_trelvo_component(shell):
    class TrelvoComponentLocal(TrelvoComponentNorvel):  # its qualified name starts with test_
        pass

    assert TrelvoComponentSpecial("i", "n", "c", ipython_shell=shell).id == "i"
    with pytest.raises(AssertionError, match="^Class name must start with 'TrelvoComponent'.$"):
        TrelvoComponentLocal("i", "n", "c", ipython_shell=shell)


def test_setting_code_invalidates_but_the_same_code_and_names_do_not(make_component, run):
    component = make_component("x = 1")
    run(component)
    component.name = "renamed"
    component.cell_code = "x = 1"
    assert component.status is Status.SUCCESSFUL and component.outputs == {"x": 1}
    component.cell_code = "x = 2"
    assert component.status is Status.INVALID and component._non_module_outputs is None
    with pytest.raises(TypeError, match=r"Argument 'new_name' has incorrect type"):
        component.name = 1
    with pytest.raises(AttributeError):
        component.id = "other"


def test_status_setter(make_component, run):
    component = make_component("x = 1")
    run(component)
    component.status = Status.RUNNING
    assert component._non_module_outputs == {"x": 1}  # kept, but hidden
    assert component.outputs is None and component._non_module_outputs_names is None
    with pytest.raises(AssertionError, match="^SUCCESSFUL is not a valid component status.$"):
        component.status = "SUCCESSFUL"


def test_parents_keep_their_order_and_invalidate_only_when_new(make_component, run):
    component = make_component()
    run(component)
    component.add_parent("a", "first")
    assert component.status is Status.INVALID
    run(component)
    component.add_parent("a", "renamed")
    component.add_parent("b", "second")
    assert component.parents == [{"id": "a", "name": "renamed"}, {"id": "b", "name": "second"}]
    run(component)
    assert component.remove_parent("missing") is False and component.status is Status.SUCCESSFUL
    assert component.remove_parent("a") is True and component.status is Status.INVALID
    assert component.parents == [{"id": "b", "name": "second"}]


def test_metadata_setter_keeps_the_remote_configuration(make_component):
    component = make_component()
    remote = TrelvoComponentRemoteConfigModel(backend="redis://b", broker="redis://r")
    component.remote_config = remote
    assert component.remote_config == remote
    component.metadata = TrelvoComponentMetadataModel(componentType="Other")
    assert component.component_type == "Other" and component.remote_config == remote
    component.metadata = None
    assert component.component_type is None and component.remote_config == remote
    component.remote_config = None
    assert component.remote_config is None


def test_outputs_combine_modules_and_variables(make_component, run):
    component = make_component("import numpy as np\nx = 1\nx + 1")
    run(component)
    assert component.outputs == {"np": np, "x": 1}
    assert component.module_statements == {"np": "__import__('importlib').import_module('numpy')"}
    assert component.last_output == 2 and component.last_expr == "x + 1"
    empty = make_component("pass")
    run(empty)
    assert empty.outputs is None


def test_a_failed_run_shows_its_error_and_output_only(make_component, run):
    component = make_component("print('partial')\nraise ValueError('boom')")
    run(component)
    assert component.status is Status.FAILED
    assert component.outputs is None and component.last_output is None
    assert isinstance(component.exception_msg, list)
    error = component.exception
    assert isinstance(error, TrelvoPipelineError) and component.exception is not error
    assert "boom" in str(error)
    # What the cell printed before it raised stays with the error; the stored model keeps its
    # one-record form for a failed component.
    assert [record.text for record in component.captured] == ["partial", "\n"]
    (record,) = component.to_model().captured
    assert "boom" in record.text


def test_load_memory_cache_orders_names_as_the_model(make_component):
    component = make_component()
    component.load_memory_cache(TrelvoCacheModel(non_module_outputs={"b": 1, "a": 2}))
    assert component.status is Status.SUCCESSFUL and component._non_module_outputs_names == ["b", "a"]
    component.load_memory_cache(TrelvoCacheModel(exception_msg=["line"]))
    assert component.status is Status.FAILED and component.exception_msg == ["line"]
    assert component._non_module_outputs is None and component._non_module_outputs_names is None


def test_getters_check_the_stored_types(make_component):
    component = make_component()
    component._name = 5
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        component.name


def test_private_state_of_the_wrong_type_is_a_type_error_never_a_crash(python):
    output = python("""
        from IPython.core.interactiveshell import InteractiveShell
        from trelvo_core.components.norvel import TrelvoComponentNorvel
        from trelvo_core.misc import TrelvoComponentStatus

        component = TrelvoComponentNorvel("c", "c", "x = 1", ipython_shell=InteractiveShell.instance())
        component._parents = [("p", "parent")]
        attempts = [lambda: component.add_parent("q", "other"), lambda: component.parents,
                    lambda: component.remove_parent("p")]
        def with_outputs():
            component._parents = {}
            component._status = TrelvoComponentStatus.SUCCESSFUL
            component._non_module_outputs = ["not", "a", "dict"]
            return component.outputs
        for attempt in attempts + [with_outputs]:
            try:
                attempt()
                print("no error")
            except TypeError as error:
                print(error)
        """)
    assert output.splitlines() == ["Expected dict, got list"] * 4
