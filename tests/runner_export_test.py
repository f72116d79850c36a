"""The Google Benchmark export, read back as the tools that consume it read it,
and results.json's strictness."""

import pathlib
import tempfile
import unittest

from support import cell, run_of, strict_json

from algobench import export, files, model
from algobench.judge.derive import derive


def sample_run() -> model.Run:
    return run_of(
        [cell("count_if", 10**6, 2, [5e-4, 4e-4, 6e-4], repetitions=7),
         cell("find_if", 10, 1, [0.0, 1e-6], repetitions=7),
         cell("unique_copy", 10, 1, [3e-6], repetitions=7),
         cell("partial_sum", 10, 2, [], status="failed", repetitions=7,
              failure="warm-up: exit status 2")],
        host="box", usable_cpus=2, date="2026-01-02T03:04:05+00:00", build_type="Release",
        bin_dir="/b/bin", mhz_per_cpu=2100, governors={"0": "performance"},
        load_avg=[0.1, 0.2, 0.3],
        caches=[{"type": "Data", "level": 1, "size": 32768, "num_sharing": 1}],
        command_line=["suite", "run"], pin=True, samples=3)


class GoogleBenchmarkExportTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        run = derive(sample_run())
        with tempfile.TemporaryDirectory() as directory:
            export.write_all(pathlib.Path(directory), run, final=False)
            cls.document = strict_json((pathlib.Path(directory) / "benchmark.json").read_text())
            cls.results = strict_json((pathlib.Path(directory) / "results.json").read_text())
            cls.reloaded = model.load(directory)
        cls.rows = cls.document["benchmarks"]

    def named(self, name):
        return [row for row in self.rows if row["name"] == name]

    def test_context_keys(self):
        context = self.document["context"]
        for key in ("date", "host_name", "executable", "num_cpus", "mhz_per_cpu",
                    "cpu_scaling_enabled", "caches", "load_avg", "library_build_type"):
            self.assertIn(key, context)
        self.assertEqual(context["library_build_type"], "release")
        self.assertIs(context["cpu_scaling_enabled"], False)
        self.assertEqual(context["caches"][0],
                         {"type": "Data", "level": 1, "size": 32768, "num_sharing": 1})
        self.assertEqual(context["algobench_pin"], "true")

    def test_iteration_rows(self):
        rows = self.named("count_if/n:1000000/threads:2")
        self.assertEqual(len(rows), 3)
        self.assertEqual([r["repetition_index"] for r in rows], [0, 1, 2])
        for row in rows:
            self.assertEqual(row["run_type"], "iteration")
            self.assertEqual(row["run_name"], "count_if/n:1000000/threads:2")
            self.assertEqual((row["repetitions"], row["threads"], row["iterations"]), (3, 2, 7))
            self.assertEqual(row["real_time"], row["cpu_time"])
        # One unit for every entry of a name; the figure is the time in that unit.
        self.assertEqual({r["time_unit"] for r in rows}, {"us"})
        self.assertAlmostEqual(rows[1]["real_time"], 400.0)
        self.assertAlmostEqual(rows[1]["items_per_second"], 10**6 / 4e-4)
        self.assertAlmostEqual(rows[1]["bytes_per_second"], 8 * 10**6 / 4e-4)

    def test_aggregate_rows(self):
        by_name = {r["aggregate_name"]: r for r in self.rows
                   if r["run_type"] == "aggregate" and r["run_name"] == "count_if/n:1000000/threads:2"}
        self.assertEqual(set(by_name), {"mean", "median", "stddev", "cv"})
        self.assertEqual(by_name["median"]["name"], "count_if/n:1000000/threads:2_median")
        self.assertAlmostEqual(by_name["median"]["real_time"], 500.0)
        self.assertAlmostEqual(by_name["stddev"]["real_time"], 100.0)
        self.assertEqual(by_name["cv"]["aggregate_unit"], "percentage")
        self.assertAlmostEqual(by_name["cv"]["real_time"], 0.2)
        self.assertEqual(by_name["mean"]["aggregate_unit"], "time")
        self.assertEqual({r["time_unit"] for r in by_name.values()}, {"us"})

    def test_missing_figures_are_left_out_with_a_label(self):
        zero = self.named("find_if/n:10/threads:1")[0]
        self.assertEqual(zero["real_time"], 0.0)
        self.assertNotIn("items_per_second", zero)
        self.assertIn("time is 0", zero["label"])
        single = {r["aggregate_name"]: r for r in self.rows
                  if r["run_name"] == "unique_copy/n:10/threads:1" and r["run_type"] == "aggregate"}
        self.assertNotIn("real_time", single["stddev"])
        self.assertIn("two samples", single["stddev"]["label"])
        failed = self.named("partial_sum/n:10/threads:2")
        self.assertEqual(len(failed), 1)
        self.assertIs(failed[0]["error_occurred"], True)
        self.assertNotIn("real_time", failed[0])

    def test_results_json_keeps_nulls(self):
        unique = self.results["cells"][2]
        self.assertIsNone(unique["stats"]["stddev"])
        self.assertIsNone(self.results["cells"][3]["stats"])

    def test_results_json_loads_back_to_the_same_run(self):
        self.assertEqual(self.reloaded.to_dict(), self.results)
        self.assertEqual(self.reloaded.cells[0].stats.median, 5e-4)

    def test_non_finite_numbers_are_refused(self):
        with self.assertRaises(ValueError):
            files.dump_json({"x": float("nan")})


if __name__ == "__main__":
    unittest.main()
