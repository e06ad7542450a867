"""Enumerations and the pipeline error shared by the package's modules."""

from enum import Enum


class TrelvoComponentStatus(str, Enum):
    INVALID = "INVALID"
    RUNNING = "RUNNING"
    SUCCESSFUL = "SUCCESSFUL"
    FAILED = "FAILED"


class TrelvoDiskcacheStatus(str, Enum):
    UNCACHED = "UNCACHED"
    UPDATING = "UPDATING"
    CACHED = "CACHED"
    FAILED = "FAILED"


class TrelvoPipelineCallbackProcedure(str, Enum):
    HPO_TRIAL_EXECUTED = "HPO_TRIAL_EXECUTED"
    HPO_ERROR = "HPO_ERROR"
    HPO_EARLY_STOPPED = "HPO_EARLY_STOPPED"
    HPO_COMPLETED = "HPO_COMPLETED"


class TrelvoPipelineCallbackStatus(str, Enum):
    SUCCESSFUL = "SUCCESSFUL"


class TrelvoPipelineError(Exception):
    """A component's failed run, raised from its structured traceback lines."""

    def __init__(self, picked_stb, ipython_shell=None):
        self.picked_stb = list(picked_stb)
        self.ipython_shell = ipython_shell
        formatter = getattr(ipython_shell, "InteractiveTB", None)
        text = formatter.stb2text(self.picked_stb) if formatter else "\n".join(self.picked_stb)
        super().__init__(text)

    def __reduce__(self):
        # The shell stays behind: it belongs to the process that raised.
        return (type(self), (self.picked_stb,))
