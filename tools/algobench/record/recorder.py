"""The listener that keeps a sweep's runs in the results store while it runs.

It sits beside the console's listener: both take the sweep's events, one to
print them, this one to register the runs (and link the two builds of an A/B
run), so an interrupted run is in the store with what it measured.
"""

from __future__ import annotations

import pathlib

from .. import model
from .store import FAILED, INTERRUPTED, RUNNING, Store, StoreError, final_status

__all__ = ["INTERRUPTED", "Recorder"]


class Recorder:
    """Registers the runs of a sweep in a store while it runs: a listener of its
    events. The run is registered when it starts, after the calibration, after
    every round and at the end; a write that fails stops the writes until the
    end, which tries once more. `error` then holds what went wrong, or None
    once the whole run is registered; `ids` the run id of each build."""

    def __init__(self, path: pathlib.Path) -> None:
        self.path = pathlib.Path(path)
        self.error: StoreError | None = None
        self.ids: dict[str, int] = {}
        self._store: Store | None = None
        self._runs: dict[str, model.Run] = {}
        self._folders: dict[str, pathlib.Path] = {}
        self._out_dir: pathlib.Path | None = None
        self._paired = False
        self._finished = False

    def __call__(self, event: object) -> None:
        handler = getattr(self, f"_on_{type(event).__name__}", None)
        if handler is not None:
            handler(event)

    def _on_RunStarted(self, event) -> None:
        self._runs, self._folders, self._out_dir = event.runs, event.folders, event.out_dir
        self._save({name: RUNNING for name in self._runs})

    def _on_GroupReady(self, event) -> None:
        if event.done == event.total:
            self._save({name: RUNNING for name in self._runs})

    def _on_RoundDone(self, event) -> None:
        self._save({name: RUNNING for name in self._runs})

    def _on_Interrupted(self, event) -> None:
        self._save({name: INTERRUPTED for name in self._runs})

    def _on_RunFinished(self, event) -> None:
        self._save({name: final_status(run, event.status) for name, run in self._runs.items()},
                   final=True)

    def abandon(self, status: str | None = FAILED) -> None:
        """The sweep ended by an exception: its runs keep what they have, with `status`
        (None: the one their results tell)."""
        if self._runs and not self._finished:
            self._save({name: status for name in self._runs}, final=True)

    def _save(self, statuses: dict[str, str | None], final: bool = False) -> None:
        if self.error is not None and not final:
            return
        try:
            if self._store is None:
                self._store = Store.open(self.path)
            for name, run in self._runs.items():
                self.ids[name] = self._store.register(run, self._folders.get(name),
                                                      statuses[name])
            if not self._paired and {"A", "B"} <= self.ids.keys():
                self._store.link_pair(self.ids["A"], self.ids["B"], self._out_dir)
                self._paired = True
        except (StoreError, model.ResultsError) as error:
            self.error = error if isinstance(error, StoreError) else StoreError(
                f"store {self.path}: the run cannot be registered: {error}")
            self._close()
        else:
            if final:
                self.error = None
        if final:
            self._finished = True
            self._close()

    def _close(self) -> None:
        if self._store is not None:
            self._store.close()
            self._store = None
