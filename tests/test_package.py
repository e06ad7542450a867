"""The package tree: every module imports by its path, deliverables are compiled."""

import importlib
import pathlib

import pytest

COMPILED_MODULES = [
    "trelvo_core.callbacks.ostrel",
    "trelvo_core.common.mixins",
    "trelvo_core.common.pickler",
    "trelvo_core.common.utils",
    "trelvo_core.executors.utils",
    "trelvo_core.ipython.utils",
    "trelvo_core.misc.models.captured",
    "trelvo_core.misc.models.parameter",
    "trelvo_core.misc.templates.draffen",
    "trelvo_core.misc.templates.genmora",
    "trelvo_core.misc.templates.morvish",
    "trelvo_core.misc.templates.pipeline",
    "trelvo_core.parameters_optimizer.callbacks.prisket",
    "trelvo_core.parameters_optimizer.callbacks.tovmar",
    "trelvo_core.parameters_optimizer.callbacks.windrel",
    "trelvo_core.parameters_optimizer.optimizers.quenmar",
]

PACKAGES = [
    "trelvo_core",
    "trelvo_core.callbacks",
    "trelvo_core.capture",
    "trelvo_core.common",
    "trelvo_core.components",
    "trelvo_core.contrib",
    "trelvo_core.executors",
    "trelvo_core.executors.component_executor",
    "trelvo_core.executors.remote_executor",
    "trelvo_core.ipython",
    "trelvo_core.misc",
    "trelvo_core.misc.models",
    "trelvo_core.misc.templates",
    "trelvo_core.parameters_optimizer",
    "trelvo_core.parameters_optimizer.callbacks",
    "trelvo_core.parameters_optimizer.optimizers",
]


@pytest.mark.parametrize("name", COMPILED_MODULES)
def test_compiled_modules_are_shared_libraries(name):
    module = importlib.import_module(name)
    assert pathlib.Path(module.__file__).suffix == ".so"
    assert module.__name__ == name


@pytest.mark.parametrize("name", PACKAGES)
def test_package_tree_imports(name):
    assert importlib.import_module(name).__path__


def test_the_installed_package_is_tested():
    import trelvo_core

    assert "site-packages" in trelvo_core.__file__


def test_re_exports():
    from trelvo_core.contrib import diskcache
    from trelvo_core.ipython import get_ipython_shell, is_io_redirected, is_zmq_ipython_shell
    from trelvo_core.ipython import utils
    from trelvo_core.misc.models import TrelvoCapturedModel
    from trelvo_core.misc.models.captured import TrelvoCapturedModel as Compiled

    import diskcache as library

    assert TrelvoCapturedModel is Compiled
    assert utils.is_zmq_ipython_shell is is_zmq_ipython_shell
    assert (diskcache.Cache, diskcache.Lock) == (library.Cache, library.Lock)
    assert callable(get_ipython_shell) and callable(is_io_redirected)

    from trelvo_core.callbacks import TrelvoPipelineCallback
    from trelvo_core.callbacks.ostrel import TrelvoPipelineCallback as Connector
    from trelvo_core.parameters_optimizer.callbacks import (
        TrelvoHPOPrisketCallback,
        TrelvoHPOWindrelCallback,
    )
    from trelvo_core.parameters_optimizer.callbacks.prisket import TrelvoHPOPrisketCallback as P
    from trelvo_core.parameters_optimizer.callbacks.windrel import TrelvoHPOWindrelCallback as W

    assert (TrelvoPipelineCallback, TrelvoHPOPrisketCallback, TrelvoHPOWindrelCallback) == (
        Connector, P, W)


def test_app_name_fits_file_names():
    from trelvo_core.common.info import APP_NAME

    assert isinstance(APP_NAME, str) and APP_NAME.isidentifier()


def test_nothing_the_package_opens_listens_beyond_loopback(python):
    output = python(
        """
        import multiprocessing, psutil
        from trelvo_core.components.norvel import TrelvoComponentNorvel
        from trelvo_core.ipython.brascom import TrelvoBrascom

        component = TrelvoComponentNorvel("n1", "net", "x = 1")   # embeds the kernel application
        router = TrelvoBrascom()
        router.start()
        with multiprocessing.get_context("fork").Pool(1) as pool:
            component.execute_async(pool, iopub_port=router.iosub_port).wait(60)
            processes = [psutil.Process()] + psutil.Process().children(recursive=True)
            addresses = {c.laddr.ip for p in processes for c in p.net_connections(kind="inet")
                         if c.status == "LISTEN"}
        router.close()
        print(component.status.name, sorted(addresses))
        """,
        timeout=120,
    )
    status, addresses = output.strip().split(" ", 1)
    assert status == "SUCCESSFUL" and addresses == "['127.0.0.1']"
