"""The results of a batch (the output directory of `lumetra fit`) read back: every trace with
its idealised paths (folder), the kinetics of the batch or of a selection of its traces
(kinetics) and their figures (figures), for the results page of `lumetra explore --results`."""

from lumetra.results.folder import ResultsFolder, TraceView, load_folder, trace_view

__all__ = ["ResultsFolder", "TraceView", "load_folder", "trace_view"]
