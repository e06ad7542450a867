"""LoggingMixin: per-class loggers, their handlers and files, and the root-logger controls."""

import logging
import logging.handlers
import os
import re

import pytest

from trelvo_core.common import mixins
from trelvo_core.common.info import APP_NAME
from trelvo_core.common.mixins import LoggingMixin


@pytest.fixture
def logs_dir(tmp_path, monkeypatch):
    directory = tmp_path / "logs"
    monkeypatch.setattr(mixins, "FILE_LOGS_DIR", str(directory))
    before = set(logging.root.manager.loggerDict)
    yield directory
    for name in set(logging.root.manager.loggerDict) - before | {APP_NAME}:
        logger = logging.getLogger(name)
        for handler in list(logger.handlers):
            logger.removeHandler(handler)
            handler.close()


def file_handlers(logger):
    return [h for h in logger.handlers if isinstance(h, logging.handlers.RotatingFileHandler)]


def test_module_names():
    assert mixins.ROOT_LOGGER_NAME == APP_NAME
    assert LoggingMixin.__doc__ == "A mixin class to add logging."
    assert type(LoggingMixin) is type
    assert LoggingMixin.__init__.__annotations__ == {
        "args": "List[Any]", "kwargs": "Dict[str, Any]"}
    assert LoggingMixin.logger.fget.__annotations__ == {"return": "logging.Logger"}


def test_first_instance_configures_the_class_logger(logs_dir):
    class Worker(LoggingMixin):
        pass

    worker = Worker()
    logger = worker.logger
    assert logger.name == f"{APP_NAME}.{Worker.__qualname__}"
    assert logger.level == logging.DEBUG and logger.propagate is False
    stream, rotating = logger.handlers
    assert type(stream) is logging.StreamHandler and stream.level == logging.INFO
    assert rotating.level == logging.DEBUG
    assert rotating.baseFilename == str(logs_dir / f"{APP_NAME}-{os.getpid()}.log")
    assert (rotating.maxBytes, rotating.backupCount, rotating.encoding) == (10485760, 10, "utf-8")
    assert stream.formatter is rotating.formatter
    assert rotating.formatter._fmt == "%(asctime)s %(name)s.%(funcName)s() %(levelname)s: %(message)s"
    assert rotating.formatter.datefmt == "[%Y-%m-%d %H:%M:%S]"

    worker.logger.debug("into the file only")
    rotating.flush()
    line = (logs_dir / f"{APP_NAME}-{os.getpid()}.log").read_text(encoding="utf-8")
    assert re.fullmatch(
        r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] " + re.escape(logger.name)
        + r"\.test_first_instance_configures_the_class_logger\(\) DEBUG: into the file only\n",
        line)


def test_handlers_are_added_once_and_subclasses_get_their_own(logs_dir):
    class Base(LoggingMixin):
        pass

    class Child(Base):
        pass

    first = Base()
    first.logger.setLevel(logging.WARNING)
    Base()
    assert len(first.logger.handlers) == 2
    assert first.logger.level == logging.DEBUG
    child = Child()
    assert child.logger is not first.logger and len(child.logger.handlers) == 2


def test_init_takes_part_in_cooperative_init(logs_dir):
    calls = []

    class Named:
        def __init__(self, name, *, size=0):
            calls.append((name, size))
            super().__init__()

    class Component(LoggingMixin, Named):
        def __init__(self, name):
            super().__init__(name, size=3)

    assert Component.__mro__[1:3] == (LoggingMixin, Named)
    assert Component("x").logger.handlers
    assert calls == [("x", 3)]


def test_set_root_logging_level(logs_dir):
    root = logging.getLogger(APP_NAME)
    LoggingMixin.set_root_logging_level(logging.INFO)  # no handler anywhere: nothing to change
    first, second = logging.StreamHandler(), logging.StreamHandler()
    root.addHandler(first)
    root.addHandler(second)
    LoggingMixin.set_root_logging_level(30.7)
    assert (first.level, second.level) == (30, logging.NOTSET)
    with pytest.raises(TypeError) as raised:
        LoggingMixin.set_root_logging_level("DEBUG")
    assert str(raised.value) == "Argument 'level' has incorrect type (expected int, got str)"


def test_the_controls_act_on_the_handlers_the_mixin_makes(logs_dir):
    class First(LoggingMixin):
        pass

    class Second(LoggingMixin):
        pass

    first, second = First(), Second()
    LoggingMixin.set_root_logging_level(logging.ERROR)
    assert [h.level for h in first.logger.handlers] == [logging.ERROR, logging.DEBUG]
    assert [h.level for h in second.logger.handlers] == [logging.ERROR, logging.DEBUG]

    first.logger.debug("from the first")
    second.logger.debug("from the second")
    LoggingMixin.set_logging_filename("renamed")
    assert os.listdir(logs_dir) == ["renamed.log"]
    for worker in (first, second):
        (handler,) = file_handlers(worker.logger)
        assert handler.baseFilename == str(logs_dir / "renamed.log")
        assert handler.level == logging.DEBUG
    second.logger.debug("after the move")
    for worker in (first, second):
        file_handlers(worker.logger)[0].flush()
    text = (logs_dir / "renamed.log").read_text(encoding="utf-8")
    assert [line.rsplit(": ", 1)[1] for line in text.splitlines()] == [
        "from the first", "from the second", "after the move"]


def root_file_handler(logs_dir, name):
    logs_dir.mkdir(exist_ok=True)
    handler = logging.handlers.RotatingFileHandler(str(logs_dir / name), encoding="utf-8")
    handler.setLevel(logging.WARNING)
    handler.setFormatter(logging.Formatter("%(message)s"))
    logging.getLogger(APP_NAME).addHandler(handler)
    return handler


def test_set_logging_filename_moves_the_file(logs_dir):
    old = root_file_handler(logs_dir, "old.log")
    logging.getLogger(APP_NAME).warning("before")
    LoggingMixin.set_logging_filename("renamed")
    assert not (logs_dir / "old.log").exists()
    (new,) = file_handlers(logging.getLogger(APP_NAME))
    assert new is not old and new.baseFilename == str(logs_dir / "renamed.log")
    assert (new.level, new.formatter) == (logging.WARNING, old.formatter)
    logging.getLogger(APP_NAME).warning("after")
    new.flush()
    assert (logs_dir / "renamed.log").read_text(encoding="utf-8") == "before\nafter\n"


def test_set_logging_filename_appends_to_an_existing_file(logs_dir):
    root_file_handler(logs_dir, "old.log")
    logging.getLogger(APP_NAME).warning("moved")
    (logs_dir / "kept.log").write_text("earlier\n", encoding="utf-8")
    LoggingMixin.set_logging_filename("kept")
    assert not (logs_dir / "old.log").exists()
    assert (logs_dir / "kept.log").read_text(encoding="utf-8") == "earlier\nmoved\n"


def test_set_logging_filename_with_the_current_name_does_nothing(logs_dir):
    handler = root_file_handler(logs_dir, "same.log")
    LoggingMixin.set_logging_filename("same")
    assert file_handlers(logging.getLogger(APP_NAME)) == [handler]


def test_set_logging_filename_checks_its_argument(logs_dir):
    with pytest.raises(TypeError) as raised:
        LoggingMixin.set_logging_filename(b"name")
    assert str(raised.value) == "Argument 'filename' has incorrect type (expected str, got bytes)"


def test_logs_dir_is_hidden_in_the_working_directory_at_import(python, tmp_path):
    output = python(
        """
        import os
        from trelvo_core.common import mixins
        from trelvo_core.common.mixins import LoggingMixin
        os.chdir("/")
        class Job(LoggingMixin):
            pass
        Job().logger.info("hello")
        print(mixins.FILE_LOGS_DIR)
        print(os.getpid())
        """,
        cwd=tmp_path,
    )
    logs_dir, pid = output.split()
    assert logs_dir == str(tmp_path / f".{APP_NAME}-logs")
    assert (tmp_path / f".{APP_NAME}-logs" / f"{APP_NAME}-{pid}.log").read_text().endswith(
        f"{APP_NAME}.Job.<module>() INFO: hello\n")
