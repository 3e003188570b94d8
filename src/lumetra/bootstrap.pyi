# The import hook that loads every module of the package from the one shared library.
import importlib.abc
from collections.abc import Sequence
from importlib.machinery import ModuleSpec
from types import ModuleType

class PackageMetaPathFinder(importlib.abc.MetaPathFinder):
    name_filter: str
    def __init__(self, name_filter: str) -> None: ...
    def find_spec(
        self, fullname: str, path: Sequence[str] | None, target: ModuleType | None = None
    ) -> ModuleSpec | None: ...

def bootstrap_submodules() -> None: ...
