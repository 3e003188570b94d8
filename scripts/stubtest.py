"""mypy's stubtest on the compiled modules of the installed package, signatures included.

    python scripts/stubtest.py [STUBTEST OPTION ...]

pybind11 functions have no signature `inspect` can read, so stubtest alone compares only which
names the stubs and the modules define. pybind11 writes each function's signature as the
first line of its docstring ("name(a: T, b: U = 1) -> R"); read from there, stubtest compares
the stubs' parameter names, kinds and defaults with the modules' too.

The modules are those with a stub beside them (lumetra/*.pyi); stubtest imports them in a
temporary directory holding the dashboard module's explorerDir.pickle (the example traces), so
the statistics module's debug.log lands there. The exceptions: stubtest_allowlist.txt.
"""

from __future__ import annotations

import ast
import inspect
import os
import pickle
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import mypy.stubtest as stubtest
import tomllib

import lumetra

ROOT = Path(__file__).resolve().parents[1]
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")
# Libraries stubtest need not analyse: their types in the stubs become Any, which the checks of
# names, kinds and defaults do not need, and analysing pandas-stubs and panel takes ~40 s.
SKIPPED_IMPORTS = ["pandas.*", "panel.*", "bokeh.*"]
_inspected = stubtest.safe_inspect_signature
read_from_docstrings: list[bool] = []  # per function stubtest found no signature of


def docstring_signature(runtime: Any) -> inspect.Signature | None:
    """The signature on the first line of a pybind11 function's docstring; None when there is
    none. A first line that looks like one but cannot be read is an error, not a skipped
    check."""
    doc = getattr(runtime, "__doc__", None)
    if not isinstance(doc, str) or "(" not in doc:
        return None
    first = doc.split("\n", 1)[0]
    name, arguments = first.split("(", 1)
    if not name.isidentifier() or ") -> " not in arguments:
        return None
    try:
        tree = ast.parse(f"def {name}({arguments}: ...")
    except SyntaxError as error:
        raise ValueError(f"unreadable signature of {runtime!r}: {first}") from error
    function = tree.body[0]
    assert isinstance(function, ast.FunctionDef)
    return inspect.Signature(list(parameters(function.args)))


def parameters(args: ast.arguments) -> Iterator[inspect.Parameter]:
    kind = inspect.Parameter
    positional: list[tuple[ast.arg, inspect._ParameterKind]]
    positional = [(a, kind.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, kind.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for (arg, arg_kind), default in zip(positional, defaults):
        yield kind(arg.arg, arg_kind, default=value_of(default))
    if args.vararg:
        yield kind(args.vararg.arg, kind.VAR_POSITIONAL)
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        yield kind(arg.arg, kind.KEYWORD_ONLY, default=value_of(default))
    if args.kwarg:
        yield kind(args.kwarg.arg, kind.VAR_KEYWORD)


def value_of(default: ast.expr | None) -> Any:
    if default is None:
        return inspect.Parameter.empty
    try:
        return ast.literal_eval(default)
    except ValueError:  # an object's repr: a default without a value stubtest can compare
        return stubtest.UNREPRESENTABLE


def signature(runtime: Any) -> inspect.Signature | None:
    found = _inspected(runtime)
    if found is None:
        found = docstring_signature(runtime)
        read_from_docstrings.append(found is not None)
    return found


def mypy_config(folder: Path) -> Path:
    """The project's mypy settings (pyproject.toml) as a mypy.ini, SKIPPED_IMPORTS added."""
    settings = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["mypy"]
    overrides = [*settings.get("overrides", []), {"module": SKIPPED_IMPORTS}]
    overrides[-1]["follow_imports"] = "skip"
    lines = ["[mypy]"]
    lines += [
        f"{key} = {ini(value)}"
        for key, value in settings.items()
        if key not in ("files", "overrides")
    ]
    for override in overrides:
        lines.append(f"[mypy-{','.join(override['module'])}]")
        lines += [f"{key} = {ini(value)}" for key, value in override.items() if key != "module"]
    path = folder / "mypy.ini"
    path.write_text("\n".join(lines) + "\n")
    return path


def ini(value: object) -> str:
    return ",".join(map(str, value)) if isinstance(value, list) else str(value)


def main() -> int:
    package = Path(lumetra.__file__).parent
    modules = sorted(f"lumetra.{stub.stem}" for stub in package.glob("*.pyi"))
    stubtest.safe_inspect_signature = signature
    with tempfile.TemporaryDirectory() as folder:
        with open(Path(folder) / "explorerDir.pickle", "wb") as settings:
            pickle.dump(str(package / "examples" / "traces") + os.sep, settings)
        os.chdir(folder)
        config = mypy_config(Path(folder))
        options = ["--mypy-config-file", str(config), "--allowlist", str(ALLOWLIST)]
        status = stubtest.test_stubs(stubtest.parse_options([*options, *sys.argv[1:], *modules]))
    if not any(read_from_docstrings):  # stubtest no longer asks through the name replaced
        print("stubtest.py: no signature was read from a docstring", file=sys.stderr)
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
