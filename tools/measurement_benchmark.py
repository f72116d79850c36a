#!/usr/bin/env python3
"""How far the suite's figures can be trusted on this machine: a benchmark of the measurement.

It runs the suite itself, through ./suite, the way a user would, and prints:

  aa        `./suite ab` of the release build against itself: how many cells it
            calls clearly changed (should be none), and how long it took
  gate      the same A/A run repeated with `--fail-above 5` on a narrowed
            matrix: how many repeats the gate passed
  sweeps    two `./suite run` back to back: how long each took, how many cells
            `./suite compare` calls clearly changed, and how many parallel
            cells at n >= 1e5 kept their speedup within 10%
  ab        the release build against an -O1 build of the same tree, as
            `ab O3 O1`, `ab O1 O3` and `ab O3 O1` again: how many cells have
            ratios whose product is within 3% of 1, and how many agree within
            5% between the two runs in the same direction
  rounds    two default sweeps whose extra rounds go where the speedups still
            scatter against two of fixed rounds (--extra-rounds 0), run
            alternately: how long each took, and how many parallel cells at
            n >= 1e5 kept their speedup within 10% between the two of a kind
  duet      `ab` interleaved against `ab --duet` on the same pairs (the release
            build against itself, then against an -O1 build both ways), run
            alternately: over the 1-thread cells, how wide the A/A intervals
            are, how many ratio products ab(A,B) x ab(B,A) are within 3% of 1,
            and how long each took
  counts    instruction counts: the count sweep of the default matrix (how long,
            the work ratio of every parallel cell, the spread of the cells counted
            more than once), an A/A `ab --metric instructions` (every 1-thread
            ratio within 0.1% of 1) and `ab O3 O1` x `ab O1 O3` of counts (the
            product within 0.1% of 1 in every 1-thread cell)
  steady    partial_sum at 1e6 and 1e7: the suite's figure (its calibrated
            loop) against a steady-state loop of the same call on the same
            data (thousands of calls), measured alternately in one process
            pair per round

Every check prints its figures and its goal; nothing here is a unit test (the
machine is shared and noisy, so the figures are for reading, not asserting).
`--quick` narrows every matrix for a smoke run of the benchmark itself.

    python3 tools/measurement_benchmark.py [--quick] [--only aa,gate,...] [--out DIR]
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import json
import os
import pathlib
import re
import resource
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
SUITE = [sys.executable, str(ROOT / "suite")]
DEFAULT_BIN = RELEASE_BIN = ROOT / "build" / "release" / "bin"
O1_TREE = ROOT / "build" / "o1"
# Where the quiet runs' messages go (main puts it in the output folder).
STDERR_LOG = pathlib.Path(os.devnull)
CHECKS = ("aa", "gate", "sweeps", "ab", "rounds", "duet", "steady", "backends", "counts")


def verdict_of(low, high, margin: float) -> str:
    """The suite's verdict of a ratio's interval (tools/algobench/judge/verdict.py)."""
    sys.path.insert(0, str(ROOT / "tools"))
    from algobench.judge.verdict import verdict
    return verdict(low, high, margin)


def suite(*arguments: str, quiet: bool = True) -> tuple[int, str, float]:
    """Runs ./suite (`run` on the programs of --bin-dir when given); returns (exit
    status, standard output, seconds). Quiet, its messages go to STDERR_LOG, and
    a run that fails says so here."""
    if arguments[:1] == ("run",) and RELEASE_BIN != DEFAULT_BIN:
        arguments = ("run", "--bin-dir", str(RELEASE_BIN), *arguments[1:])
    start = time.monotonic()
    with open(STDERR_LOG, "a", encoding="utf-8") if quiet else contextlib.nullcontext() as log:
        if log is not None:
            log.write(f"\n$ suite {' '.join(arguments)}\n")
            log.flush()
        completed = subprocess.run([*SUITE, *arguments], cwd=ROOT, env=dict(os.environ),
                                   stdout=subprocess.PIPE, text=True, stderr=log)
    if completed.returncode != 0 and quiet:
        print(f"note: `suite {' '.join(arguments[:2])} ...` ended with status "
              f"{completed.returncode}; its messages are in {STDERR_LOG}", flush=True)
    return completed.returncode, completed.stdout, time.monotonic() - start


def load(folder: pathlib.Path) -> dict:
    return json.loads((folder / "results.json").read_text())


def share(count: int, total: int) -> str:
    return f"{count} of {total} ({100 * count / total:.0f}%)" if total else "0 of 0"


class Benchmark:
    def __init__(self, out: pathlib.Path, quick: bool) -> None:
        self.out = out
        self.quick = quick
        self.matrix = ["--sizes", "1e5,1e6"] if quick else []
        self.narrow = ["--sizes", "1e5,1e6"] + (["--programs", "count_if,partial_sum,find_if"]
                                                if quick else [])

    def ab(self, a: str, b: str, name: str, *extra: str) -> tuple[int, dict, float]:
        folder = self.out / name
        status, _, seconds = suite("ab", a, b, "--out", str(folder), "--no-plots",
                                   "--no-bandwidth", *self.matrix, *extra)
        report = folder / "ab.json"
        if not report.exists():
            raise SystemExit(f"measurement benchmark: `suite ab` for {name} ended with status "
                             f"{status} and wrote no ab.json; see {folder}")
        return status, json.loads(report.read_text()), seconds

    def check_aa(self) -> None:
        bin_dir = str(RELEASE_BIN)
        status, report, seconds = self.ab(bin_dir, bin_dir, "aa")
        pairs = report["pairs"]
        changed = sum(p["verdict"] in ("slower", "faster") for p in pairs)
        print(f"aa: A/A over {'a narrowed' if self.quick else 'the default'} matrix: "
              f"{share(changed, len(pairs))} cells clearly changed (goal: at most 5%); "
              f"took {seconds:.0f} s (goal: within 120 s); exit status {status}")

    def check_gate(self) -> None:
        bin_dir = str(RELEASE_BIN)
        repeats = 3 if self.quick else 20
        passed = 0
        for index in range(repeats):
            status, _, _ = self.ab(bin_dir, bin_dir, f"gate-{index}", *self.narrow,
                                   "--fail-above", "5")
            passed += status == 0
        print(f"gate: A/A with --fail-above 5 over {' '.join(self.narrow)}: passed "
              f"{passed} of {repeats} repeats (goal: at least 19 of 20)")

    def check_sweeps(self) -> None:
        folders, seconds = [], []
        for index in (1, 2):
            folder = self.out / f"sweep-{index}"
            _, _, took = suite("run", "--out", str(folder), "--no-plots", "--backends",
                               "parallel-mode", *self.matrix)
            folders.append(folder)
            seconds.append(took)
        _, text, _ = suite("compare", str(folders[0]), str(folders[1]))
        match = re.search(r"over (\d+) cells: [^;]*; (.*)", text)
        total = int(match.group(1)) if match else 0
        counts = dict((name, int(count)) for count, name in
                      re.findall(r"(\d+) (slower|faster)", match.group(2) if match else ""))
        changed = counts.get("slower", 0) + counts.get("faster", 0)
        agree, considered = speedups_agreeing(load(folders[0]), load(folders[1]))
        print(f"sweeps: two runs of the parallel mode took {seconds[0]:.0f} s and "
              f"{seconds[1]:.0f} s (goal: within 60 s); compare calls {share(changed, total)} cells clearly changed (goal: at "
              f"most 5%); speedups within 10% in {share(agree, considered)} parallel cells at "
              "n >= 1e5 (goal: at least 90%)")

    def build_o1(self) -> pathlib.Path:
        bin_dir = O1_TREE / "bin"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(O1_TREE), "-DCMAKE_BUILD_TYPE=Release",
                        "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG", "-DBUILD_TESTING=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(O1_TREE), "--parallel", "2"], check=True,
                       stdout=subprocess.DEVNULL)
        return bin_dir

    def check_ab(self) -> None:
        o3, o1 = str(RELEASE_BIN), str(self.build_o1())
        _, forward, _ = self.ab(o3, o1, "ab-o3-o1")
        _, backward, _ = self.ab(o1, o3, "ab-o1-o3")
        _, again, _ = self.ab(o3, o1, "ab-o3-o1-again")
        back = {p["label"]: p["ratio"] for p in backward["pairs"]}
        repeat = {p["label"]: p["ratio"] for p in again["pairs"]}
        products = [p["ratio"] * back[p["label"]] for p in forward["pairs"] if p["label"] in back]
        agreements = [p["ratio"] / repeat[p["label"]] for p in forward["pairs"]
                      if p["label"] in repeat]
        within3 = sum(abs(x - 1) <= 0.03 for x in products)
        within5 = sum(abs(x - 1) <= 0.05 for x in agreements)
        changed = sum(p["verdict"] in ("slower", "faster") for p in forward["pairs"])
        print(f"ab: -O3 against -O1: {share(changed, len(forward['pairs']))} cells clearly "
              f"changed, geometric mean B/A {forward['geomean']:.3f}; ab(A,B) x ab(B,A) within 3% "
              f"of 1 in {share(within3, len(products))} cells (goal: at least 90%); two ab(A,B) "
              f"agree within 5% in {share(within5, len(agreements))} cells (goal: at least 90%)")

    def check_rounds(self) -> None:
        seconds: dict[str, list[float]] = {"adaptive": [], "fixed": []}
        runs: dict[str, list[dict]] = {"adaptive": [], "fixed": []}
        for index in (1, 2):
            for kind, extra in (("fixed", ["--extra-rounds", "0"]), ("adaptive", [])):
                folder = self.out / f"rounds-{kind}-{index}"
                _, _, took = suite("run", "--out", str(folder), "--no-plots", *self.matrix,
                                   *extra)
                seconds[kind].append(took)
                runs[kind].append(load(folder))
        for kind in ("fixed", "adaptive"):
            agree, considered = speedups_agreeing(*runs[kind])
            taken = [len(c["samples"]) for run in runs[kind] for c in run["cells"]]
            stopped = sum(c.get("stopped") == "budget" for c in runs[kind][1]["cells"])
            print(f"rounds: {kind} rounds, two default sweeps of every backend took "
                  f"{seconds[kind][0]:.0f} s and {seconds[kind][1]:.0f} s (goal: within 240 s); "
                  f"speedups within 10% in {share(agree, considered)} parallel cells at "
                  f"n >= 1e5 (goal: at least 90%); rounds per cell {min(taken)} to "
                  f"{max(taken)}, median {statistics.median(taken):g}"
                  + (f"; {stopped} cells of the second stopped at the budget" if stopped
                     else ""))

    def check_duet(self) -> None:
        o3, o1 = str(RELEASE_BIN), str(self.build_o1())
        figures: dict[str, dict] = {method: {"seconds": []} for method in ("interleaved", "duet")}
        for name, a, b in (("aa", o3, o3), ("forward", o3, o1), ("backward", o1, o3)):
            for method, extra in (("interleaved", []), ("duet", ["--duet"])):
                _, report, took = self.ab(a, b, f"duet-{method}-{name}", *extra)
                figures[method][name] = {p["label"]: p for p in report["pairs"]
                                         if "/threads:1" in p["label"]}
                figures[method]["seconds"].append(took)
        for method, runs in figures.items():
            widths = [(p["high"] - p["low"]) / p["ratio"] for p in runs["aa"].values()]
            changed = sum(p["verdict"] in ("slower", "faster") for p in runs["aa"].values())
            products = [p["ratio"] * runs["backward"][label]["ratio"]
                        for label, p in runs["forward"].items() if label in runs["backward"]]
            within3 = sum(abs(x - 1) <= 0.03 for x in products)
            print(f"duet: {method} ab, 1-thread cells: A/A intervals a median "
                  f"{statistics.median(widths) * 100:.1f}% wide (spread "
                  f"{min(widths) * 100:.1f}-{max(widths) * 100:.1f}%), "
                  f"{share(changed, len(widths))} called changed; -O3/-O1 products within 3% "
                  f"of 1 in {share(within3, len(products))} (goal: at least 90%); the three "
                  f"runs took {' s, '.join(f'{t:.0f}' for t in runs['seconds'])} s")

    def check_backends(self) -> None:
        folder = self.out / "backends"
        status, _, took = suite("run", "--out", str(folder), "--no-plots", *self.matrix)
        run = load(folder)
        cells = run["cells"]
        checked = sum(c["status"] == "ok" for c in cells)
        backends = sorted({c["backend"] for c in cells})
        print(f"backends: the default sweep of every backend built ({', '.join(backends)}): "
              f"{len(cells)} cells, {checked} passed their checks, took {took:.0f} s (goal: "
              f"within 180 s); exit status {status}")
        grid = [w["verdict"] in ("faster", "equivalent") for w in run.get("winners", [])]
        margin = run["context"].get("margin") or 0.05
        speedups = [verdict_of(c["vs_sequential_low"], c["vs_sequential_high"], margin)
                    for c in cells if c.get("vs_sequential") is not None and c["threads"] > 1]
        decided = sum(v != "undecided" for v in speedups)
        print(f"  decided at a {margin * 100:g}% margin: {share(sum(grid), len(grid))} grid cells "
              f"(goal: at least 60%), {share(decided, len(speedups))} speedups over the "
              "sequential build at more than one thread (goal: at least 90%)")
        largest = max(c["n"] for c in cells)
        threads = max(c["threads"] for c in cells)
        def figure(value, low, high, scale=1.0, shift=0.0, unit="x"):
            if value is None:
                return "n/a"
            text = f"{(value - shift) * scale:.3g}{unit}"
            if low is not None and high is not None:
                text += f" ({(low - shift) * scale:.3g} to {(high - shift) * scale:.3g})"
            return text

        for w in run.get("winners", []):
            if w["n"] == largest and w["threads"] == threads:
                print(f"  {w['program']} at n = {largest:g}, {threads} threads: {w['backend']} "
                      f"wins at "
                      f"{figure(w['over_sequential'], w['over_sequential_low'], w['over_sequential_high'])}"
                      f" the sequential build at 1 thread; {w['runner_up']} slower by "
                      f"{figure(w['lead'], w['lead_low'], w['lead_high'], 100, 1, '%')}")

    def check_counts(self) -> None:
        folder = self.out / "counts"
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        status, _, took = suite("run", "--metric", "instructions", "--out", str(folder),
                                *self.matrix)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        # The CPU time of the suite and every process it waited for: what the
        # sweep costs whatever else the machine runs.
        cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
        cells = [c for c in load(folder)["cells"] if c["status"] == "ok"]
        parallel = [c for c in cells if c["threads"] > 1]
        ratios = sum(c["work_ratio"] is not None for c in parallel)
        repeated = [c["instructions_spread"] for c in cells if len(c["instruction_samples"]) > 1]
        below = sum(s < 0.01 for s in repeated)
        print(f"counts: the count sweep of {'a narrowed' if self.quick else 'the default'} "
              f"matrix: {len(cells)} cells took {took:.0f} s (goal: within 300 s) and {cpu:.0f} "
              f"CPU seconds ({cpu / os.cpu_count():.0f} s on {os.cpu_count()} idle CPUs), exit "
              f"status {status}; a work ratio in {share(ratios, len(parallel))} parallel cells; the "
              f"cells counted twice spread under 1% in {share(below, len(repeated))} (goal: at "
              f"least 95%), largest {max(repeated, default=0) * 100:.3f}%, median "
              f"{statistics.median(repeated or [0]) * 100:.4f}%")
        bin_dir, counting = str(RELEASE_BIN), ("--metric", "instructions")
        _, same, took = self.ab(bin_dir, bin_dir, "counts-aa", *counting)
        single = [p for p in same["pairs"] if p["label"].split("/")[2] == "threads:1"]
        exact = sum(abs(p["ratio"] - 1) <= 0.001 for p in single)
        print(f"counts: A/A of counts: B/A within 0.1% of 1 in {share(exact, len(single))} "
              f"1-thread cells (goal: all), largest |B/A - 1| "
              f"{max((abs(p['ratio'] - 1) for p in single), default=0) * 100:.5f}%; all cells "
              f"{len(same['pairs'])}, took {took:.0f} s")
        o1 = str(self.build_o1())
        _, forward, _ = self.ab(bin_dir, o1, "counts-o3-o1", *counting)
        _, backward, _ = self.ab(o1, bin_dir, "counts-o1-o3", *counting)
        back = {p["label"]: p["ratio"] for p in backward["pairs"]}
        products = {p["label"]: p["ratio"] * back[p["label"]] for p in forward["pairs"]
                    if p["label"] in back}
        ones = [x for label, x in products.items() if label.split("/")[2] == "threads:1"]
        within = sum(abs(x - 1) <= 0.001 for x in ones)
        others = [abs(x - 1) for label, x in products.items()
                  if label.split("/")[2] != "threads:1"]
        print(f"counts: ab(O3,O1) x ab(O1,O3) of counts within 0.1% of 1 in "
              f"{share(within, len(ones))} 1-thread cells (goal: all); geometric mean O1/O3 "
              f"{forward['geomean']:.3f}; at more threads the product's largest distance from 1 "
              f"is {max(others, default=0) * 100:.3f}% over {len(others)} cells")

    def check_steady(self) -> None:
        folder = self.out / "steady"
        suite("run", "--programs", "partial_sum", "--sizes", "1e6,1e7", "--threads", "1",
              "--out", str(folder), "--no-plots", "--no-bandwidth")
        rounds = 3 if self.quick else 5
        for cell in load(folder)["cells"]:
            figures, steady = [], []
            n, reps = cell["n"], cell["repetitions"]
            long_loop = max(reps, int(2.0 / max(cell["stats"]["median"], 1e-9)))
            for _ in range(rounds):
                figures.append(self.time_of(n, reps))
                steady.append(self.time_of(n, long_loop))
            ratio = statistics.median(f / s for f, s in zip(figures, steady))
            print(f"steady: partial_sum at n = {n}: the suite's loop of {reps} calls against a "
                  f"steady loop of {long_loop}: {ratio:.3f} (median of {rounds} alternating "
                  "pairs; goal: within 1.10)")

    @staticmethod
    def time_of(n: int, repetitions: int) -> float:
        completed = subprocess.run([str(RELEASE_BIN / "bench_partial_sum"), str(n), "1",
                                    str(repetitions)], capture_output=True, text=True, check=True)
        return float(completed.stdout.strip().rsplit(" ", 1)[-1])


def speedups_agreeing(first: dict, second: dict) -> tuple[int, int]:
    """How many parallel cells at n >= 1e5 of two runs have speedups within 10% of
    each other, of how many both runs give one."""
    speedups = {c["name"]: c["speedup"] for c in second["cells"]}
    agree = considered = 0
    for cell in first["cells"]:
        other = speedups.get(cell["name"])
        if cell["threads"] > 1 and cell["n"] >= 100_000 and cell["speedup"] and other:
            considered += 1
            agree += abs(cell["speedup"] / other - 1) <= 0.10
    return agree, considered


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="narrowed matrices, fewer repeats")
    parser.add_argument("--only", default=",".join(CHECKS),
                        help=f"comma-separated checks (default all: {', '.join(CHECKS)})")
    parser.add_argument("--out", type=pathlib.Path,
                        help="where the runs go (default results/measurement-<date-time>)")
    parser.add_argument("--bin-dir", type=pathlib.Path,
                        help="the release programs, already built (default: build them in "
                             "build/release)")
    arguments = parser.parse_args()
    only = [c.strip() for c in arguments.only.split(",") if c.strip()]
    unknown = [c for c in only if c not in CHECKS]
    if unknown:
        parser.error(f"unknown check(s) {', '.join(unknown)}; known: {', '.join(CHECKS)}")
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    out = arguments.out or ROOT / "results" / f"measurement-{stamp}"
    out.mkdir(parents=True, exist_ok=True)
    global RELEASE_BIN, STDERR_LOG
    STDERR_LOG = out / "suite-stderr.log"
    RELEASE_BIN = arguments.bin_dir.resolve() if arguments.bin_dir else DEFAULT_BIN
    # Builds the release programs if they are missing, and fails early if the suite is broken.
    status, _, _ = suite("run", "--programs", "count_if", "--sizes", "10", "--samples", "1",
                         "--no-bandwidth", "--no-plots", "--out", str(out / "build-check"))
    if status != 0:
        raise SystemExit(f"measurement benchmark: the suite's first run ended with status "
                         f"{status}; see {out / 'build-check'}")
    benchmark = Benchmark(out, arguments.quick)
    for check in only:
        getattr(benchmark, f"check_{check}")()
        sys.stdout.flush()
    print(f"runs kept in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
