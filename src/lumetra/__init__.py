"""Step-trajectory fitting and transition analysis of single-molecule FRET intensity traces."""

import logging
from importlib.metadata import version

from lumetra.bootstrap import bootstrap_submodules

# Before any other module of the package is imported: they all load from one shared library.
bootstrap_submodules()

from lumetra.errors import LumetraError  # noqa: E402 - after the hook, as every module

__version__: str = version("lumetra")
__all__ = ["LumetraError", "__version__"]

# The package's notes go to the loggers under "lumetra"; the application decides where they go
# (the command line prints them as "lumetra: MESSAGE"), none reach stderr by themselves.
logging.getLogger(__name__).addHandler(logging.NullHandler())
