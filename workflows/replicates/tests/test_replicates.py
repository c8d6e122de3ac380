"""Unit tests of scripts/replicates.py: scenarios, seeds, parameter files, the stats reader
and the aggregate table. Run: python3 -m unittest discover -s tests (from this folder)."""

import copy
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
sys.dont_write_bytecode = True
import replicates as rp  # noqa: E402

TEMPLATE = {
    "Model": 0, "Ne": 50, "MigRate": 0.0, "NumLoci": 20, "NumAllele": 5, "NumGen": 3,
    "NumIndiv0": 0, "NumIndiv1": 30, "NumIndiv2": 30, "IDUM": 1, "OutFile": "run",
    "INIT_POINT": 1, "MaxNe": 1000, "Monitor": 0, "NumThread": 0, "MisRate": 0.01,
    "DropRate": 1e-05, "FalseRate": 0.0, "FreqDist": 0,
}


def read(path):
    with open(path) as handle:
        return handle.read()


def write(path, text):
    with open(path, "w") as handle:
        handle.write(text)


def config(**extra):
    base = {"template": dict(TEMPLATE), "grid": {"Ne": [50, 100]}, "replicates": 3,
            "base_seed": 7}
    base.update(extra)
    return base


class Scenarios(unittest.TestCase):
    def test_grid_is_a_cartesian_product_plus_named_scenarios(self):
        c = config(grid={"Ne": [50, 100], "NumGen": [2, 5, 9]},
                   scenarios={"mig": {"Model": 1, "MigRate": 0.1, "NumIndiv0": 30}})
        names = [n for n, _, _ in rp.scenarios(c)]
        self.assertEqual(len(names), 7)
        self.assertEqual(names[0], "Ne50_NumGen2")
        self.assertEqual(names[-1], "mig")
        self.assertIn({"Ne": 100, "NumGen": 9}, [o for _, o, _ in rp.scenarios(c)])

    def test_bad_configurations_are_refused(self):
        bad = [
            config(grid={"NE": [50]}),                      # unknown parameter
            config(grid={"IDUM": [5]}),                     # managed by the workflow
            config(grid={"Ne": [50.5]}),                    # integer expected
            config(grid={"Ne": []}),                        # nothing to vary
            config(grid={"Ne": [5000]}),                    # MaxNe below Ne
            config(grid={}, scenarios={}),                  # no scenarios at all
            config(scenarios={"Ne50": {"Ne": 60}}),          # name clash with a grid scenario
            config(scenarios={"a b": {"Ne": 60}}),           # name unfit for a folder
            config(replicates=0),
            config(base_seed="x"),
        ]
        missing = config()
        del missing["template"]["FreqDist"]
        bad.append(missing)
        for c in bad:
            with self.assertRaises(rp.ConfigError, msg=repr(c)):
                rp.study_plan(c)

    def test_bad_model_maps_are_refused_with_the_option_named(self):
        cases = [  # (model, words of the message)
            ({}, "model must be a mapping"),
            (None, "model must be a mapping"),
            ({"burnin": 10}, "unknown model option 'burnin'"),
            ({"burn_in": -1}, "burn_in must be a whole number"),
            ({"burn_in": 100000001}, "burn_in must be a whole number"),
            ({"burn_in": 2.5}, "burn_in must be a whole number"),
            ({"mutation_rate": 0.2}, "mutation_rate must be a number from 0 to 0.1"),
            ({"mutation_rate": "1e-3"}, "got '1e-3' (YAML reads an exponent without a dot"),
            ({"mutation_rate": float("nan")}, "mutation_rate must be a number"),
            ({"ne_ratio": 0}, "ne_ratio must be a number above 0 and at most 1"),
            ({"ne_ratio": 1.5}, "ne_ratio must be a number above 0"),
            ({"ne_ratio": True}, "ne_ratio must be a number above 0"),
            ({"sizes": []}, "sizes must be a non-empty list"),
            ({"sizes": [251, 20]}, "sizes entry 251 is not a [generation, size] pair"),
            ({"sizes": [[251, 20, 3]]}, "is not a [generation, size] pair"),
            ({"sizes": [[251, 20.5]]}, "is not a [generation, size] pair"),
            ({"sizes": [[0, 20]]}, "generations count from 1"),
            ({"sizes": [[251, 20], [251, 30]]}, "251 does not come after generation 251"),
            ({"sizes": [[251, 1]]}, "size 1 of generation 251 is out of range 2 to 1000000"),
            ({"sizes": [[251, 1000001]]}, "out of range"),
            ({"chromosomes": 1201}, "got 1201 (quote it: YAML reads 20:1 as a number)"),
            ({"chromosomes": "20"}, "chromosomes must be \"N:M\""),
            ({"chromosomes": "0:1"}, "chromosomes must be \"N:M\""),
            ({"chromosomes": "20:0"}, "M Morgans (above 0, at most 100)"),
            ({"chromosomes": "20:101"}, "at most 100"),
        ]
        for model, words in cases:
            c = config(scenarios={"crash": {"Ne": 100, "model": model}})
            with self.assertRaises(rp.ConfigError, msg=repr(model)) as caught:
                rp.study_plan(c)
            message = str(caught.exception)
            self.assertTrue(message.startswith("scenario crash: ") and words in message, message)
        for c, words in [(config(grid={"model": [{"burn_in": 5}]}), "named scenario's model map"),
                         (config(scenarios={"empty": {}}), "a model map")]:
            with self.assertRaisesRegex(rp.ConfigError, words):
                rp.study_plan(c)

    def test_job_threads(self):
        self.assertEqual(rp.job_threads(config()), 1)
        for good in (1, 2, 64):
            self.assertEqual(rp.job_threads(config(threads=good)), good)
        # --config threads=... on the command line gives a number; anything else is refused.
        for bad in (0, -2, 1.5, "2", True, None):
            with self.assertRaises(rp.ConfigError, msg=repr(bad)):
                rp.job_threads(config(threads=bad))


class Exports(unittest.TestCase):
    def test_files_per_format_and_refusals(self):
        c = config(exports=["vcf.gz", "plink"], grid={"Ne": [50]})
        c["template"]["NumAllele"] = 2
        self.assertEqual(rp.export_files(c, "d"), ["d/run.vcf.gz", "d/run.ped", "d/run.map"])
        self.assertEqual(rp.export_files(config(), "d"), [])
        for bad in (["bcf"], ["vcf", "vcf"], "vcf", ["plink"]):  # plink with NumAllele 5
            with self.assertRaises(rp.ConfigError, msg=repr(bad)):
                rp.check_exports(config(exports=bad))


class EstimatorsAndLabels(unittest.TestCase):
    GOOD = {"name": "LD", "input": "vcf.gz", "command": "ld {input} --par {par} > {output}"}

    def test_refusals_name_the_estimator_and_the_fault(self):
        cases = [  # (entry, words of the message)
            ({**self.GOOD, "name": "Fc"}, "estimator Fc: the name is taken"),
            ({**self.GOOD, "name": "1x"}, "name must be a letter"),
            ({**self.GOOD, "input": "bcf"}, "input must be one of"),
            ({**self.GOOD, "command": "ld {input}"}, "the command must write {output}"),
            ({**self.GOOD, "command": "ld {inputs} {output}"}, "unknown placeholder {inputs}"),
            ({**self.GOOD, "command": "awk '{print}' {output}"}, "unknown placeholder {print}"),
            ({**self.GOOD, "scenarios": ["Ne70"]}, "unknown scenario 'Ne70'"),
            ({**self.GOOD, "input": "plink"}, "plink takes biallelic data only"),
            ({**self.GOOD, "threads": 2}, "unknown key 'threads'"),
        ]
        for entry, words in cases:
            with self.assertRaisesRegex(rp.ConfigError, re.escape(words), msg=repr(entry)):
                rp.check_estimators(config(estimators=[entry]))
        with self.assertRaisesRegex(rp.ConfigError, "the name is taken"):
            rp.check_estimators(config(estimators=[self.GOOD, self.GOOD]))

    def test_command_files_and_labels(self):
        c = config(estimators=[{**self.GOOD, "scenarios": ["Ne100_NumGen1", "Ne100_NumGen2"]},
                               {"name": "own", "input": "dat", "command":
                                "awk '{{print}}' {input} > {output}"}],
                   scenarios={"crash": {"Ne": 60, "label": "A crash"}, "mig": {"Ne": 70}},
                   grid={"Ne": [50, 100], "NumGen": [1, 2]})
        ld, own = rp.check_estimators(c)
        self.assertEqual(ld["scenarios"], ["Ne100_NumGen1", "Ne100_NumGen2"])
        self.assertEqual(rp.estimator_files(ld, "d", "run"), ["d/run.vcf.gz", "d/run.par"])
        self.assertEqual(rp.estimator_files(own, "d", "run"), ["d/run.dat", "d/run.par"])
        self.assertEqual(rp.estimator_command(own["command"], {"input": "my dir/run.dat",
                                                               "output": "o.tsv"}),
                         "awk '{print}' 'my dir/run.dat' > o.tsv")
        self.assertEqual(rp.scenario_labels(c), {
            "Ne50_NumGen1": "Ne 50, 1 gen.", "Ne50_NumGen2": "Ne 50, 2 gen.",
            "Ne100_NumGen1": "Ne 100, 1 gen.", "Ne100_NumGen2": "Ne 100, 2 gen.",
            "crash": "A crash", "mig": "mig"})
        # A label is a cell of summary.tsv: one line, no tabs; quotes, & and < are text.
        for label, words in [("", "label must be a non-empty text"),
                             ("a\tb", "must be one line without tabs"),
                             ("a\nb", "must be one line without tabs"),
                             ("a\u2028b", "must be one line without tabs")]:
            with self.assertRaisesRegex(rp.ConfigError, words, msg=repr(label)):
                rp.study_plan(config(scenarios={"s": {"Ne": 60, "label": label}}))
        odd = '"quoted" & <script>x</script> $5'
        self.assertEqual(rp.scenario_labels(config(scenarios={"s": {"Ne": 60, "label": odd}}))["s"],
                         odd)

    def test_outdir_and_time_limit(self):
        for outdir in ("results", "my results", ".;touch INJECTED;cd ."):
            self.assertEqual(rp.check_outdir(config(outdir=outdir)), outdir)
        for outdir in ("", "out{x}", "a\nb", 5):
            with self.assertRaises(rp.ConfigError, msg=repr(outdir)):
                rp.check_outdir(config(outdir=outdir))
        self.assertEqual(rp.check_estimators(config(estimators=[self.GOOD]))[0]["time_limit"],
                         rp.DEFAULT_TIME_LIMIT)
        for limit in (0, -1, "60", True, float("inf")):
            with self.assertRaisesRegex(rp.ConfigError, "time_limit must be", msg=repr(limit)):
                rp.check_estimators(config(estimators=[{**self.GOOD, "time_limit": limit}]))

    def test_estimator_runs_fail_in_one_line(self):
        script = os.path.join(HERE, "..", "scripts", "replicates.py")
        cases = [  # (command, time limit, words of the one line)
            ("true {out}", "5", "exited with status 0 but wrote no output"),
            ("exit 3", "5", "failed with exit status 3"),
            ("sleep 30; true {out}", "0.5", "longer than its time limit of 0.5 s"),
            ("printf 'Ne\\n12\\n' > {out}", "5", None),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "e.tsv")
            for command, limit, words in cases:
                done = subprocess.run([sys.executable, script, "run-estimate", limit, out,
                                       command.format(out=out)],
                                      capture_output=True, text=True)
                if words is None:
                    self.assertEqual((done.returncode, done.stdout),
                                     (0, f"{out}: Ne 12 [NA, NA]\n"))
                else:
                    self.assertEqual(done.returncode, 1, msg=command)
                    self.assertRegex(done.stderr, f"^replicates.py: [^\n]*{re.escape(words)}"
                                     "[^\n]*\n$", msg=command)
            done = subprocess.run([sys.executable, script, "check-estimate",
                                   os.path.join(tmp, "none.tsv")], capture_output=True, text=True)
            self.assertEqual((done.returncode, done.stderr.count("\n")), (1, 1), msg=done.stderr)

    def test_estimate_files_are_read_or_refused(self):
        cases = [  # (file text, result or None for a refusal)
            ("Ne\tlower\tupper\tS\n120.5\t80\tinf\t100\n",
             {"Ne": "120.5", "lower": "80", "upper": "inf"}),
            ("Ne\n-350\n", {"Ne": "-350", "lower": "NA", "upper": "NA"}),
            ("Ne\tlower\tupper\nNA\tnan\tNA\n", {"Ne": "NA", "lower": "NA", "upper": "NA"}),
            ("", None),
            ("Ne\n", None),                          # no row
            ("Ne\n1\n2\n", None),                  # two rows
            ("N\n12\n", None),                      # no Ne column
            ("Ne\tlower\n12\t5\n", None),         # lower without upper
            ("Ne\tlower\tupper\n12\t5\n", None),  # a cell short
            ("Ne\nlarge\n", None),
            # driftsim's number rule; a lower bound 0 leaves no lower limit; a negative bound
            # lies beyond infinity, so only the 1/Ne scale orders the bounds.
            ("Ne\tlower\tupper\n1e3\t0\t-200\n", {"Ne": "1000", "lower": "0", "upper": "-200"}),
            ("Ne\n1_000\n", None),
            ("Ne\n0x10\n", None),
            ("Ne\ninfinity\n", None),
            ("Ne\n0\n", None),                        # no effective size
            ("Ne\tlower\tupper\n12\t5\t0\n", None),  # an upper bound holding nothing
            ("Ne\tlower\tupper\n60\t80\t50\n", None),  # lower above upper
            ("Ne\tlower\tupper\n60\t-80\t50\n", None),  # lower beyond infinity, upper not
            ("Ne\tNe\n5\t7\n", None),                # a column named twice
            ("Ne\tlower\tupper\tlower\n5\t1\t9\t2\n", None),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "e.tsv")
            for text, result in cases:
                write(path, text)
                if result is None:
                    with self.assertRaises(ValueError, msg=repr(text)):
                        rp.read_estimate(path)
                else:
                    self.assertEqual(rp.read_estimate(path), result, msg=repr(text))


class Seeds(unittest.TestCase):
    def test_distinct_valid_and_reproducible(self):
        keys = [(f"s{i}", k) for i in range(40) for k in range(1, 251)]
        seeds = rp.assign_seeds(12345, keys)
        self.assertEqual(len(set(seeds.values())), len(keys))
        self.assertTrue(all(rp.seed_is_valid(s) and s > 0 for s in seeds.values()))
        self.assertEqual(seeds, rp.assign_seeds(12345, list(reversed(keys))))
        other = rp.assign_seeds(12346, keys)
        self.assertLess(len(set(seeds.values()) & set(other.values())), 5)

    def test_growing_the_study_keeps_existing_seeds(self):
        small = rp.assign_seeds(1, [("a", k) for k in (1, 2, 3)])
        large = rp.assign_seeds(1, [("a", k) for k in range(1, 11)] + [("b", 1), ("0", 1)])
        for key, seed in small.items():
            self.assertEqual(large[key], seed)

    def test_refused_and_repeated_values_are_stepped_over(self):
        # A seed source that first offers values driftsim refuses, then repeats itself.
        offers = {0: 0, 1: 262144 * 3, 2: 2147483647, 3: 99}

        def draw(base, scenario, replicate, attempt):
            return offers.get(attempt, 1000 + attempt)

        seeds = rp.assign_seeds(1, [("a", 1), ("a", 2), ("b", 1)], draw=draw)
        self.assertEqual(seeds[("a", 1)], 99)
        self.assertEqual(seeds[("a", 2)], 1004)
        self.assertEqual(seeds[("b", 1)], 1005)

    def test_validity_rule(self):
        for seed in (0, 262144, -262144, 2 * 262144, 2147483647, -2147483647):
            self.assertFalse(rp.seed_is_valid(seed), seed)
        for seed in (1, -1, 262143, 262145, 2147483646, -2147483646):
            self.assertTrue(rp.seed_is_valid(seed), seed)


class ParameterFileAndOptions(unittest.TestCase):
    def test_text_holds_the_19_values_in_order(self):
        lines = rp.param_text({**TEMPLATE, "MigRate": 0.25}).splitlines()
        self.assertEqual(len(lines), 19)
        self.assertEqual([l.split()[1] for l in lines], rp.PARAM_NAMES)
        firsts = [l.split()[0] for l in lines]
        self.assertEqual(firsts[2], "0.25")
        self.assertEqual(firsts[16], "1E-05")   # exponent in the form driftsim reads

    def test_options_make_the_shared_file_a_replicate(self):
        plan = rp.study_plan(config(scenarios={"m": {"Model": 1, "NumIndiv0": 30, "MigRate": 1e-5}}))
        item = plan[-1]
        self.assertEqual(rp.driftsim_args(item, "run"),
                         ["--seed", str(item["seed"]), "--out", "run", "--set", "Model=1",
                          "--set", "NumIndiv0=30", "--set", "MigRate=1E-05"])
        self.assertEqual(rp.driftsim_args(plan[0], "run")[4:], ["--set", "Ne=50"])
        command = rp.replicate_command("/opt/my bin/driftsim", "/s/SimPara.txt", item, "run")
        self.assertTrue(command.startswith("'/opt/my bin/driftsim' /s/SimPara.txt --seed "))
        self.assertTrue(command.endswith(" --summary summary.json > driftsim.log 2>&1"))

    def test_model_map_gives_only_its_options_in_a_fixed_order(self):
        full = {"ne_ratio": 0.25, "sizes": [[251, 20], [254, 1000]], "mutation_rate": 1e-5,
                "burn_in": 0}
        cases = [  # (scenario, options after --seed and --out)
            ({"Ne": 60, "model": full},
             ["--set", "Ne=60", "--burn-in", "0", "--mutation-rate", "1E-05",
              "--sizes", "../sizes.txt", "--ne-ratio", "0.25"]),
            ({"model": {"mutation_rate": 0}}, ["--mutation-rate", "0"]),
            ({"model": {"sizes": [[3, 2]]}}, ["--sizes", "../sizes.txt"]),
            ({"model": {"chromosomes": "20:1.5", "burn_in": 3}},
             ["--burn-in", "3", "--chromosomes", "20:1.5"]),
            ({"Ne": 70}, ["--set", "Ne=70"]),
        ]
        for scenario, options in cases:
            plan = rp.study_plan(config(grid={}, scenarios={"s": scenario}, replicates=1))
            self.assertEqual(rp.driftsim_args(plan[0], "run")[4:], options, msg=repr(scenario))
        self.assertEqual(rp.sizes_text(full["sizes"]), "251 20\n254 1000\n")

    def test_commands_write_the_sizes_file_each_replicate_reads(self):
        c = config(grid={}, scenarios={"crash": {"model": {"sizes": [[251, 20], [254, 100]]}},
                                       "flat": {"Ne": 60}}, replicates=2)
        with tempfile.TemporaryDirectory() as tmp:
            lines = rp.commands(c, tmp)
            self.assertEqual(read(os.path.join(tmp, "crash", "sizes.txt")), "251 20\n254 100\n")
            self.assertFalse(os.path.exists(os.path.join(tmp, "flat", "sizes.txt")))
            self.assertEqual([" --sizes ../sizes.txt " in l for l in lines],
                             [True, True, False, False])
            # Read from the replicate's folder, the path is the scenario's file.
            folder = os.path.join(tmp, rp.replicate_dir("crash", 1))
            self.assertTrue(os.path.samefile(os.path.join(folder, "..", "sizes.txt"),
                                             os.path.join(tmp, rp.sizes_file("crash"))))


STATS = ("row\tindividuals\tloci\tmissing\talleles\tHo\tHe\tFc\tFk\tFs\tNe_Fc\tNe_Fk\tNe_Fs\tFst\n"
         "S1\t30\t20\t0\t4.5\t0.61\t0.65\tNA\tNA\tNA\tNA\tNA\tNA\tNA\n"
         "S2\t30\t20\t2\t4.1\t0.58\t0.6\tNA\tNA\tNA\tNA\tNA\tNA\tNA\n"
         "{s0}"
         "S1-S2\tNA\tNA\tNA\tNA\tNA\tNA\t0.05\t0.04\t0.045\t{ne}\t61.2\t-80\tNA\n"
         "{s10}")


class Aggregate(unittest.TestCase):
    def write_study(self, tmp, c, stats_for):
        for item in rp.study_plan(c):
            folder = os.path.join(tmp, item["dir"])
            # driftsim's record: the effective values (NumIndiv0 is 0 under isolation).
            values = dict(item["values"])
            if values["Model"] == 0:
                values["NumIndiv0"] = 0
            run = {"parameters": values, "exit_status": 0, "peak_memory_bytes": 5000000 + item["replicate"],
                   "seconds": {"initialize": 0.5, "generations": 1.25, "samples": 0.0625,
                               "write": 0.125, "total": 2.0 + item["replicate"]},
                   # A crash scenario's harmonic mean falls below Ne; written as driftsim does.
                   "true_values": {"drift_ne": values["Ne"] / (3 if item["model"] else 1),
                                   "temporal_f": 0.1 + 0.01 * item["replicate"] / 3, "sizes": []}}
            rp.write_text_atomic(os.path.join(folder, rp.SUMMARY_FILE), json.dumps(run))
            with open(os.path.join(folder, rp.STATS_FILE), "w") as handle:
                handle.write(stats_for(item))

    def test_one_row_per_replicate_with_scenario_values(self):
        c = config(scenarios={"mig": {"Model": 1, "NumIndiv0": 30, "MigRate": 0.1},
                              "crash": {"model": {"sizes": [[251, 10], [253, 50]]}}})

        def stats_for(item):
            if item["scenario"] == "mig":
                return STATS.format(s0="S0\t30\t20\t0\t5\t0.7\t0.72\tNA\tNA\tNA\tNA\tNA\tNA\tNA\n",
                                    s10="S1-S0\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\tNA\t0.031\n",
                                    ne="inf")
            return STATS.format(s0="", s10="", ne=str(item["values"]["Ne"] + item["replicate"]))

        with tempfile.TemporaryDirectory() as tmp:
            self.write_study(tmp, c, stats_for)
            table = os.path.join(tmp, "t.tsv")
            self.assertEqual(rp.aggregate(c, tmp, table), 12)
            lines = read(table).splitlines()
        header = lines[0].split("\t")
        self.assertEqual(header[:10], ["scenario", "replicate", "seed", "Model", "Ne", "MigRate",
                                       "NumIndiv0", "true_Ne", "true_F", "S1_individuals"])
        self.assertIn("Fst", header)
        rows = [dict(zip(header, l.split("\t"))) for l in lines[1:]]
        self.assertEqual(len(rows), 12)
        self.assertTrue(all(len(l.split("\t")) == len(header) for l in lines))
        by = {(r["scenario"], r["replicate"]): r for r in rows}
        self.assertEqual(by[("Ne100", "2")]["Ne_Fc"], "102")
        self.assertEqual(by[("Ne100", "2")]["Ne"], "100")
        self.assertEqual(by[("Ne50", "3")]["Fst"], "NA")
        self.assertEqual(by[("mig", "1")]["Fst"], "0.031")
        self.assertEqual(by[("mig", "1")]["Ne_Fc"], "inf")
        self.assertEqual(by[("mig", "1")]["Model"], "1")
        self.assertEqual(by[("mig", "1")]["S2_He"], "0.6")
        self.assertEqual(len({r["seed"] for r in rows}), 12)
        self.assertEqual(header[-6:], ["seconds_initialize", "seconds_generations", "seconds_samples",
                                       "seconds_write", "seconds_total", "peak_memory_bytes"])
        self.assertEqual(by[("mig", "2")]["seconds_total"], "4")
        self.assertEqual(by[("mig", "2")]["seconds_samples"], "0.0625")
        self.assertEqual(by[("mig", "3")]["peak_memory_bytes"], "5000003")
        self.assertEqual(by[("mig", "1")]["MigRate"], "0.1")
        # True values from the record, six significant digits like the statistics.
        self.assertEqual([by[(s, "2")]["true_Ne"] for s in ("Ne100", "crash")], ["100", "16.6667"])
        self.assertEqual(by[("crash", "2")]["Ne"], "50")
        self.assertEqual(by[("mig", "2")]["true_F"], "0.106667")

    def test_no_source_columns_without_migration(self):
        c = config()
        with tempfile.TemporaryDirectory() as tmp:
            self.write_study(tmp, c, lambda item: STATS.format(s0="", s10="", ne="55"))
            table = os.path.join(tmp, "t.tsv")
            rp.aggregate(c, tmp, table)
            header = read(table).splitlines()[0].split("\t")
        self.assertNotIn("Fst", header)
        self.assertNotIn("S0_He", header)
        self.assertFalse(any("chromosomes" in column for column in header))

    def test_jackknife_over_chromosomes_joins_the_table_and_summary_of_linked_runs(self):
        import summary
        c = config()
        row = "S1-S2_jackknife_by_chromosomes_{side}\tNA\tNA\tNA\tNA\tNA\tNA\t{f}\t{f}\t{f}\t{ne}\t{ne}\t{ne}\tNA\n"

        def stats_for(item):  # linked in Ne100 only; its intervals are [90, 110] or [20, 40]
            text = STATS.format(s0="", s10="", ne="100")
            if item["scenario"] == "Ne100":
                low, high = (90, 110) if item["replicate"] < 3 else (20, 40)
                text += row.format(side="low", f=0.1, ne=low) + row.format(side="high", f=0.2, ne=high)
            return text

        with tempfile.TemporaryDirectory() as tmp:
            self.write_study(tmp, c, stats_for)
            table, out = os.path.join(tmp, "t.tsv"), os.path.join(tmp, "s.tsv")
            rp.aggregate(c, tmp, table)
            summary.write_summary(table, out)
            rows = [dict(zip(read(table).splitlines()[0].split("\t"), l.split("\t")))
                    for l in read(table).splitlines()[1:]]
            found = {(r["scenario"], r["estimator"]): r
                     for r in [dict(zip(read(out).splitlines()[0].split("\t"), l.split("\t")))
                               for l in read(out).splitlines()[1:]]}
        self.assertEqual([r["Ne_Fs_jackknife_by_chromosomes_upper"] for r in rows],
                         ["NA", "NA", "NA", "110", "110", "40"])
        self.assertEqual(found[("Ne100", "Fs")]["jackknife_by_chromosomes_n"], "3")
        self.assertEqual(found[("Ne100", "Fs")]["jackknife_by_chromosomes_coverage"], "0.666667")
        self.assertEqual(found[("Ne50", "Fs")]["jackknife_by_chromosomes_n"], "0")

    def test_later_columns_and_rows_are_read(self):
        # driftsim-stats adds columns after Fst, and interval rows after the last row.
        lines = STATS.format(s0="", s10="", ne="77").splitlines()
        wide = "".join(line + ("\tHs\tt\n" if i == 0 else "\tNA\t5\n") for i, line in enumerate(lines))
        wide += "S1-S2_chisq_low" + "\tNA" * 15 + "\n"
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, rp.STATS_FILE)
            write(path, wide)
            rows = rp.read_stats(path)
            self.assertEqual(rows["S1-S2"]["Ne_Fc"], "77")
            self.assertEqual(rows["S1-S2"]["t"], "5")
            self.assertIn("S1-S2_chisq_low", rows)
            write(path, wide.replace("\tNA\t5\n", "\tNA\n", 1))  # a row short of a cell
            with self.assertRaises(ValueError):
                rp.read_stats(path)

    def test_broken_or_stale_inputs_are_reported(self):
        c = config()
        with tempfile.TemporaryDirectory() as tmp:
            self.write_study(tmp, c, lambda item: STATS.format(s0="", s10="", ne="55"))
            table = os.path.join(tmp, "t.tsv")
            stats = os.path.join(tmp, "Ne50", "rep2", rp.STATS_FILE)
            good = read(stats)
            for broken in ("", good.replace("Ne_Fs", "NeFs"), good.replace("\tNA\n", "\n", 1),
                           "\n".join(l for l in good.splitlines() if not l.startswith("S1-S2"))):
                write(stats, broken)
                with self.assertRaises(ValueError):
                    rp.aggregate(c, tmp, table)
            write(stats, good)
            summary = os.path.join(tmp, "Ne50", "rep2", rp.SUMMARY_FILE)
            record = read(summary)
            for broken in ("", "{}", record.replace('"exit_status": 0', '"exit_status": 1'),
                           record.replace('"true_values"', '"other_values"')):
                write(summary, broken)
                with self.assertRaises(ValueError):
                    rp.aggregate(c, tmp, table)
            write(summary, record)
            # A run of another base seed is stale and must not pass unnoticed.
            other = copy.deepcopy(c)
            other["base_seed"] = 8
            with self.assertRaises(ValueError):
                rp.aggregate(other, tmp, table)
            self.assertEqual(rp.aggregate(c, tmp, table), 6)


if __name__ == "__main__":
    unittest.main()
