"""The outputs of a fixed set of batches, as one file to compare across versions of the package.

    .venv/bin/python bench/output_snapshot.py SNAPSHOT.pickle [--compare OTHER.pickle]

Batches: the bundled examples searched by lmfit and by the native engine (the shared model),
24 simulated traces with the classic method, the same with the shared model, and 20 kinSoft
level-1 traces with the command's defaults. Each output file is kept as its bytes, apart from
the times a run records (JSON), the workbooks' zip times, the Parquet file's writer details and
the run's temporary folder (in the sources' paths);
--compare lists every file that differs from OTHER's.
"""

import argparse
import json
import pickle
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples" / "traces"
KINSOFT = ROOT.parent / "shared" / "data" / "kinsoft-training-L1" / "traces"
TIMES = ("started", "seconds")
SMALL_SEARCH = ["--search", "halfWinLen", "5", "9", "1", "--bootstrap", "20"]
CLASSIC = ["--classic", *SMALL_SEARCH[:5], "--search", "filterWidth", "0", "3", "1"]


def without_times(data: object) -> object:
    if isinstance(data, dict):
        return {k: without_times(v) for k, v in data.items() if k not in TIMES}
    if isinstance(data, list):
        return [without_times(v) for v in data]
    return data


def contents(path: Path) -> object:
    if path.name == ".lumetra.lock":
        return None
    if path.suffix == ".json":
        return without_times(json.loads(path.read_text()))
    if path.suffix == ".xlsx":
        import pandas as pd

        sheets = pd.read_excel(path, sheet_name=None)
        return {k: v.to_dict("list") for k, v in sheets.items()}
    if path.suffix == ".parquet":
        import pyarrow.parquet as pq

        table = pq.read_table(path)
        meta = without_times(json.loads(table.schema.metadata[b"lumetra"]))
        return table.to_pandas().to_dict("list"), meta
    return path.read_bytes()


def batches(work: Path) -> dict[str, list[str]]:
    from lumetra.simulation import simulate_traces

    simulated = work / "simulated"
    simulate_traces(simulated, 24, [300, 800], [0.05, 0.08], 0.1, 1000, snr=5, seed=11)
    kinsoft = [str(p) for p in sorted(KINSOFT.glob("*.txt"))[:20]]
    return {
        "examples-lmfit": [str(EXAMPLES), *SMALL_SEARCH],
        "examples-native": [str(EXAMPLES), *SMALL_SEARCH, "--search-engine", "native"],
        "simulated-classic": [str(simulated / "*.txt"), *CLASSIC],
        "simulated-model": [str(simulated / "*.txt"), *SMALL_SEARCH],
        "kinsoft-default": kinsoft,
    }


def without_folder(value: object, folder: str) -> object:
    """`value` with the temporary folder of the run spelled WORK (sources are named by path)."""
    if isinstance(value, bytes):
        return value.replace(folder.encode(), b"WORK")
    if isinstance(value, str):
        return value.replace(folder, "WORK")
    if isinstance(value, dict):
        return {without_folder(k, folder): without_folder(v, folder) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(without_folder(v, folder) for v in value)
    return value


def snapshot() -> dict[str, dict[str, object]]:
    found: dict[str, dict[str, object]] = {}
    with tempfile.TemporaryDirectory() as name:
        work = Path(name)
        for batch, arguments in batches(work).items():
            out = work / batch
            command = [sys.executable, "-m", "lumetra", "fit", *arguments, "--out", str(out)]
            subprocess.run([*command, "--quiet", "--jobs", "2"], check=True, cwd=work)
            found[batch] = {
                str(p.relative_to(out)): without_folder(contents(p), name)
                for p in sorted(out.rglob("*"))
                if p.is_file()
            }
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("snapshot", type=Path)
    parser.add_argument("--compare", type=Path)
    args = parser.parse_args()
    found = snapshot()
    args.snapshot.write_bytes(pickle.dumps(found))
    if args.compare is None:
        return
    other = pickle.loads(args.compare.read_bytes())
    differing = [
        f"{batch}/{name}"
        for batch in sorted(set(found) | set(other))
        for name in sorted(set(found.get(batch, {})) | set(other.get(batch, {})))
        if found.get(batch, {}).get(name) != other.get(batch, {}).get(name)
    ]
    files = sum(len(v) for v in found.values())
    print(f"{files} files in {len(found)} batches; {len(differing)} differ")
    for name in differing:
        print(f"  {name}")
    sys.exit(1 if differing else 0)


if __name__ == "__main__":
    main()
