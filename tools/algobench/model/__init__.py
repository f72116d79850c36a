"""The results of a run as typed objects: the run, its context, its cells and findings.

Every command reads and writes results through this package: the records and
Run.save in records.py, the run's context in context.py, the derived answers
(winners, crossovers) in answers.py, reading results.json
back (any schema version) and the checks of a file in reading.py. Callers name
them through `model`.
"""

from .answers import Crossover, Winner
from .context import CONTEXT_FIELDS, Context
from .records import (METRICS, RESULTS_FILE, SCHEMA_VERSION, CellResult, Finding, ResultsError,
                      Run, Sample, Stats)
from .reading import from_dict, load, load_checked, run_problem

__all__ = ["CONTEXT_FIELDS", "METRICS", "RESULTS_FILE", "SCHEMA_VERSION", "CellResult", "Context",
           "Crossover", "Finding", "ResultsError", "Run", "Sample", "Stats", "Winner", "from_dict",
           "load", "load_checked", "run_problem"]
