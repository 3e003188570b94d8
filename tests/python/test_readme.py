"""Every import the README's Python examples show works."""

import os
import pathlib
import pickle
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def readme_imports():
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.M | re.S)
    lines = [line for block in blocks for line in block.splitlines()]
    return [line for line in lines if re.match(r"(from \S+ )?import ", line)]


def test_every_import_of_the_readme_works(run_python, tmp_path, explorer_dir):
    imports = readme_imports()
    assert "from lumetra.results import load_folder" in imports
    # The dashboard module reads its data directory when imported, as the README says.
    with open(tmp_path / "explorerDir.pickle", "wb") as settings:
        pickle.dump(str(explorer_dir) + os.sep, settings)
    result = run_python("\n".join(imports))
    assert result.returncode == 0, result.stderr
