"""The package's shape: the installed stubs name exactly what each compiled module defines, and
the Python modules import each other without a cycle."""

import ast
import graphlib
import importlib
import types
from pathlib import Path

import pandas as pd
import pytest

import lumetra
from lumetra.lumetraTrace import lumetraTrace

PACKAGE = Path(lumetra.__file__).parent
EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "traces"
COMPILED = ["bootstrap", "dataStatsCalac", "lumetraTrace", "nsLumetraPlotly", "batchcore"]
COMPILED += ["hmmcore", "traceio"]


def stub(name):
    """Public top-level names of a stub, and each class's methods and annotated attributes."""
    names, classes = set(), {}
    for node in ast.parse((PACKAGE / f"{name}.pyi").read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.ImportFrom):  # `from x import y as y` re-exports y
            names.update(alias.asname for alias in node.names if alias.asname == alias.name)
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            names.update(t.id for t in getattr(node, "targets", [getattr(node, "target", None)]))
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):  # typing-only
            classes[node.name] = (
                {n.name for n in node.body if isinstance(n, ast.FunctionDef)},
                {n.target.id for n in node.body if isinstance(n, ast.AnnAssign)},
            )
    return {n for n in names if not n.startswith("_")}, classes


def public(names):
    return {n for n in names if not n.startswith("_")}


@pytest.mark.parametrize("name", COMPILED)
def test_stubs_name_what_each_compiled_module_defines(name, explorer_module):
    module = importlib.import_module(f"lumetra.{name}")
    names, classes = stub(name)
    defined = {n for n, v in vars(module).items() if not isinstance(v, types.ModuleType)}
    assert names == public(defined)
    for class_name, (methods, attributes) in classes.items():
        members = vars(getattr(module, class_name))
        assert methods == {n for n, v in members.items() if callable(v) and n[:2] != "__"} | (
            {"__init__"} & set(members)
        )
        inherited = set(dir(getattr(module, class_name).__base__))
        assert public(set(members) - set(methods) - inherited) <= attributes


def test_stubs_declare_every_attribute_the_methods_set(
    tmp_path, explorer_module, explorer_dir, monkeypatch
):
    trace = lumetraTrace()
    trace.loadData(str(EXAMPLES / "two_level.txt"))
    trace.optimizeFitness((5, 6, 1), (0, 0.1, 0.1), (0, 0.1, 0.1), (1, 2, 1))
    trace.fitTrajectory(9, 0.177, 0.2, 0, keepPairs=True)
    trace.finalPartitions()
    trace.refineTransitions()
    sheet = tmp_path / "ideal.xlsx"
    pd.DataFrame({"time": [0, 1, 2, 3], "Idl 1": [1.0, 2.0, 1.0, 2.0]}).to_excel(sheet, index=False)
    monkeypatch.setattr(lumetraTrace, "trimTails", [])  # the class's list, shared by all
    trace.transitionStatistics(str(sheet))
    explorer = explorer_module.fretExplorer(str(explorer_dir / "two_level.txt"))
    _, classes = stub("lumetraTrace")
    assert set(vars(trace)) <= classes["lumetraTrace"][1]
    _, classes = stub("nsLumetraPlotly")
    assert public(vars(explorer)) <= classes["fretExplorer"][1]


def imported(path, name, modules):
    """The package's modules that `name` (at `path`) needs to have run when it imports, in any
    function or block: each one named, and the packages around it that do not hold `name`."""
    targets = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            targets.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:  # relative to the package that holds `name` (or is it)
                up = node.level - (path.name == "__init__.py")
                package = name.split(".")[: len(name.split(".")) - up]
                base = ".".join(package + ([base] if base else []))
            for alias in node.names:
                target = f"{base}.{alias.name}"
                targets.add(target if target in modules else base)
    needed = set()
    for target in targets & modules:
        parts = target.split(".")
        outer = {".".join(parts[:i]) for i in range(1, len(parts))}
        needed |= {target} | (outer & modules) - {name} - {
            ".".join(name.split(".")[:i]) for i in range(1, name.count(".") + 2)
        }
    return needed - {name}


def test_the_python_modules_import_each_other_without_a_cycle():
    paths = {}
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        paths[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    modules = set(paths)
    graph = {name: imported(path, name, modules) for name, path in paths.items()}
    assert {"lumetra.batch.run", "lumetra.cli.fit"} <= modules
    assert "lumetra.batch.outputs" in graph["lumetra.batch.run"]
    list(graphlib.TopologicalSorter(graph).static_order())  # raises CycleError on a cycle
