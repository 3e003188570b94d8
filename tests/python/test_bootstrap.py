import importlib.abc
import importlib.util
import sys

import pytest

import lumetra
import lumetra.dataStatsCalac
import lumetra.lumetraTrace
from lumetra import bootstrap


def test_every_module_comes_from_the_one_shared_library(explorer_module):
    files = {
        m.__file__
        for m in (bootstrap, lumetra.dataStatsCalac, lumetra.lumetraTrace, explorer_module)
    }
    assert len(files) == 1
    assert files.pop().endswith(".so")


def test_module_names_and_finder_class():
    assert bootstrap.sys is sys
    assert bootstrap.importlib is importlib
    assert issubclass(bootstrap.PackageMetaPathFinder, importlib.abc.MetaPathFinder)
    finder = bootstrap.PackageMetaPathFinder("lumetra.")
    assert finder.name_filter == "lumetra."


def test_finder_answers_for_the_package_prefix_only():
    finder = bootstrap.PackageMetaPathFinder("lumetra.")
    spec = finder.find_spec("lumetra.dataStatsCalac", None)
    assert spec.name == "lumetra.dataStatsCalac"
    assert spec.origin == bootstrap.__file__
    assert finder.find_spec("numpy", None) is None
    assert finder.find_spec("lumetraX", None) is None
    assert finder.find_spec("lumetra", None) is None


def test_finder_keyword_arguments():
    finder = bootstrap.PackageMetaPathFinder(name_filter="lumetra.")
    spec = finder.find_spec(fullname="lumetra.lumetraTrace", path=None, target=None)
    assert spec.name == "lumetra.lumetraTrace"
    assert finder.find_spec(fullname="lumetra.lumetraTrace", path=None).origin == spec.origin


def test_each_install_appends_one_more_finder():
    before = list(sys.meta_path)
    try:
        assert bootstrap.bootstrap_submodules() is None
        bootstrap.bootstrap_submodules()
        added = sys.meta_path[len(before) :]
        assert [type(f) for f in added] == [bootstrap.PackageMetaPathFinder] * 2
        assert [f.name_filter for f in added] == ["lumetra.", "lumetra."]
    finally:
        sys.meta_path[:] = before


def test_unknown_submodule_fails_in_the_extension_loader():
    with pytest.raises(ImportError):
        importlib.import_module("lumetra.noSuchModule")


def test_executing_a_module_a_second_time_is_refused():
    spec = importlib.util.find_spec("lumetra.dataStatsCalac")
    module = importlib.util.module_from_spec(spec)
    with pytest.raises(RuntimeError) as error:
        spec.loader.exec_module(module)
    assert str(error.value) == (
        "Module 'dataStatsCalac' has already been imported. Re-initialisation is not supported."
    )


@pytest.mark.skipif(
    importlib.util.find_spec("_xxsubinterpreters") is None, reason="no subinterpreter module"
)
def test_a_second_interpreter_is_refused(run_python):
    result = run_python(
        """
        import _xxsubinterpreters as interpreters
        import lumetra
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import lumetra")
        except Exception as error:
            print(error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout
    assert (
        "Interpreter change detected - this module can only be loaded into one "
        "interpreter per process." in result.stdout
    )
