"""Keeping runs: the results folder a sweep writes into, the results store and
the listener that registers a sweep in it."""
