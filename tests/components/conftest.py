"""Components on a plain IPython shell, and runs that give them results."""

import pytest
from IPython.core.interactiveshell import InteractiveShell

from trelvo_core.components.norvel import TrelvoComponentNorvel
from trelvo_core.executors.component_executor import execute_in_shell
from trelvo_core.misc.models import TrelvoComponentMetadataModel, TrelvoExecutionRequestModel


@pytest.fixture
def shell():
    return InteractiveShell.instance()


@pytest.fixture
def make_component(shell):
    """make_component(code, diskcache=False, identifier="c1", name="comp")"""

    def make(code="x = 1", diskcache=False, identifier="c1", name="comp"):
        metadata = TrelvoComponentMetadataModel(componentType="Norvel", diskcache=diskcache)
        return TrelvoComponentNorvel(identifier, name, code, metadata=metadata, ipython_shell=shell)

    return make


@pytest.fixture
def run(shell):
    """run(component, **request fields): a synchronous run stored on the component."""

    def run_component(component, **fields):
        request = TrelvoExecutionRequestModel(cell_code=component.cell_code, **fields)
        response = execute_in_shell(shell, request, send_to_front=False)
        component.load_memory_cache(response.result)
        return response

    return run_component
