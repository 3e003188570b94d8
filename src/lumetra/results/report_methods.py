"""The report's Methods paragraph (lumetra.results.report): how the batch was made, told from
what its manifest and model record, in sentences a user can paste into a paper. Nothing is
said that the folder does not record."""

from __future__ import annotations

from collections import Counter
from typing import Any

from lumetra.batch.config import DEFAULT_ENGINE
from lumetra.results.folder import ResultsFolder, source_label
from lumetra.results.report_html import number
from lumetra.results.report_sections import plus, usable_column

SIGNALS = {
    "fret": "the FRET efficiency",
    "acceptor": "the acceptor intensity",
    "donor": "the donor intensity",
    "total": "the total intensity",
}
BOOTSTRAP_WAYS = {
    "linearised": "each resample's model read off the expectation-maximisation map linearised "
    "about the fit",
    "refit": "each resample refitted",
}


def counted(counts: Counter[str]) -> str:
    return ", ".join(f"{name} ({count})" for name, count in counts.most_common())


def reading_sentence(manifest: dict[str, Any], traces: int) -> str:
    inputs = manifest.get("inputs") or []
    files = {source_label(str(e.get("file", "")))[0] for e in inputs}
    formats = Counter(str(e["format"]) for e in inputs if e.get("format"))
    signals = Counter(str(e["signal"]) for e in inputs if e.get("signal"))
    reading = manifest.get("reading") or {}
    text = f"{traces} traces of {len(files)} files were read"
    text += f" (formats: {counted(formats)})" if formats else ""
    if signals:
        named = ", ".join(SIGNALS.get(s, s) for s in signals)
        text += f"; the signal fitted was {named}"
        if "fret" in signals:
            text += (
                f" (gamma {number(reading.get('gamma', 1.0))}, leakage "
                f"{number(reading.get('leakage', 0.0))}, direct excitation "
                f"{number(reading.get('direct', 0.0))}"
                + (f", background {reading['background']}" if reading.get("background") else "")
                + ")"
            )
    if reading.get("cut"):
        text += ", each trace cut at its first photobleaching"
    if reading.get("frame_time"):
        text += f", with a frame time of {number(reading['frame_time'])}"
    return text + "."


def screening_sentence(folder: ResultsFolder) -> str:
    quality = folder.screening.quality
    if quality is None or "class" not in quality:
        return ""
    classes = Counter(str(c) for c in quality["class"])
    usable = int(usable_column(quality).sum())
    record = folder.manifest.get("screening") or {}
    overrides = len(record.get("overrides") or {})
    given = f" ({overrides} traces taken in or left out by hand)" if overrides else ""
    return (
        f" Each trace was screened for its photophysics and signal quality and classed "
        f"({counted(classes)}); {usable} of {len(quality)} traces were usable{given}."
    )


def step_sentence(manifest: dict[str, Any]) -> str:
    criterion = manifest.get("criterion", "xic")
    refined = " and its change points refined" if manifest.get("refine") else ""
    parameters = manifest.get("parameters")
    if isinstance(parameters, dict):
        fixed = ", ".join(f"{k} = {number(v)}" for k, v in parameters.items())
        return f" Each trace was step-fitted with the parameters {fixed}{refined}."
    engine = manifest.get("search_engine", DEFAULT_ENGINE)
    seed = manifest.get("seed")
    seeded = "unseeded" if seed is None else f"seeded by {seed} and the file's checksum"
    return (
        f" Each trace was step-fitted, its parameters (halfWinLen, rratio, thrate, filterWidth) "
        f"searched by differential evolution ({engine} engine) scored by {criterion.upper()}, "
        f"{seeded}{refined}."
    )


def model_sentences(folder: ResultsFolder) -> str:
    manifest, model = folder.manifest, folder.model
    settings = manifest.get("model_settings") or {}
    if model is None:
        return " A shared hidden Markov model was tried but could not be fitted."
    if settings.get("states"):
        chosen = f"K = {settings['states']} FRET levels were given"
    else:
        chosen = (
            f"the number K of FRET levels was chosen by the Bayesian information criterion "
            f"(BIC) among K = 1 to {settings.get('max_states', max(map(int, model['bic'])))}"
        )
    free: list[str] = []
    given: list[str] = []
    for key, what in (
        ("states_per_level", "the kinetic states per level"),
        ("topology", "the topology of the non-zero rates"),
    ):
        value = settings.get(key)
        (given if value else free).append(f"{what} ({value})" if value else what)
    if free:
        chosen += f"; {' and '.join(free)} were chosen by BIC"
    if given:
        chosen += f"; {' and '.join(given)} given"
    fret = model.get("fret_levels") or model["levels"]
    levels = ", ".join(number(v) for v in fret)
    text = (
        f" One hidden Markov model with Gaussian emissions, shared by the {len(folder.modelled)} "
        "usable traces (the frames the screening masked left out), was fitted by "
        "expectation-maximisation, started from the step fits; "
        f"{chosen}. The model kept has {model['states']} kinetic "
        f"states on {len(fret)} FRET levels ({levels}; "
        f"states per level {plus(model.get('states_per_level'))}), "
        f"topology {model.get('topology')}, fitted to {model.get('frames')} frames"
    )
    share = model.get("outlier_share")
    if share:
        text += f", of which a flat outlier term took {number(100 * share)}%"
    text += (
        f". Rate constants are those of the rate matrix Q with P = exp(Q dt) between frames "
        f"(dt = {number(model.get('frame_time'))}), per unit of the traces' time axis."
    )
    resamples = model.get("resamples") or 0
    if resamples:
        way = BOOTSTRAP_WAYS.get(str(model.get("bootstrap_method")), model.get("bootstrap_method"))
        text += (
            f" Their 95% intervals are percentiles over {resamples} bootstrap resamples of the "
            f"traces ({way}; seed {model.get('seed')})."
        )
    else:
        text += " No bootstrap intervals were computed."
    return text


def classic_sentences(manifest: dict[str, Any]) -> str:
    states = manifest.get("states")
    if not states:
        return " No kinetics were fitted (no states to group the levels into)."
    shortest = manifest.get("shortest_dwell") or 0
    options = "single-exponential" + (
        " and two-exponential mixture" if manifest.get("double_exponential") else ""
    )
    cut = f", dwells shorter than {number(shortest)} left out" if shortest else ""
    return (
        f" The segment levels of all step-fitted traces were grouped into {states} states by "
        f"weighted k-means, and the rate of leaving each state was fitted by maximum likelihood "
        f"to its dwell times ({options}{cut}), with exact 95% intervals."
    )


def methods_text(folder: ResultsFolder) -> str:
    manifest = folder.manifest
    traces = len(manifest.get("inputs") or [])
    text = (
        f"Traces were analysed with lumetra {manifest.get('lumetra', '(version not recorded)')}. "
    )
    text += reading_sentence(manifest, traces)
    text += screening_sentence(folder) + step_sentence(manifest)
    if manifest.get("method") == "hmm":
        text += model_sentences(folder)
    else:
        text += classic_sentences(manifest)
    return text
