"""The suite runner: builds the benchmark programs, sweeps them over sizes and
thread counts, verifies every report and writes the results."""

__version__ = "1.0.0"
