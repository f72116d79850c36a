"""Memory bandwidth probe: runs it per thread count (not yet written)."""


def measure(bin_dir, thread_counts, timeout=120.0):
    """Returns {threads: {"sum": B/s, "copy": B/s, "triad": B/s}}; empty until the probe exists."""
    return {}
