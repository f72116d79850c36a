"""What to measure: the workload table, the matrix of cells, the build of the
programs and the packages it needs."""
