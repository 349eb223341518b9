"""Failures that end a vexmira-stats run with one line on stderr instead of a traceback."""


class OutputError(Exception):
    """The output cannot be written or continued."""


class ClusterUnavailable(Exception):
    """The Dask scheduler could not be reached, or the local cluster not started."""
