"""Measuring: one checked process, calibration, the sweep's rounds (and duet
pairs, instruction counts, the bandwidth probe) and the machine's context."""
