"""What the measurements say: the statistics, the derive step, findings,
comparisons of runs and builds, the gate, changes across runs and machines."""
