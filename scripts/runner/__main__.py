"""The project's jobs: bash scripts/dev.sh COMMAND (which runs this module).

  demo                build and install the package, then run the main job
  test                every test: GoogleTest, the suites and wheels of scripts/matrix.toml, the
                      reliability jobs
  check               the everyday loop: incremental build, GoogleTest, pytest without leak tests
  wheels              the sdist and every wheel of the table, repaired, into dist/
  run JOB...          jobs of `test` by name, with the jobs they need (`run --list` names them);
                      `run suite:ID` proves the wheels of one interpreter of scripts/matrix.toml
  bench               the benchmarks in full: ratios to baselines timed in the same run

Each job logs to build/logs/JOB.log; the first failure (or Ctrl-C) stops the rest
(docs/development.md says more).
"""

import argparse
import os
import sys
from functools import partial

from . import tasks
from .jobs import Runner, say
from .matrix import CHECKOUT, load
from .places import CACHE


def main() -> int:
    # The runner's import path is not the jobs' business; a free-threaded proof keeps the GIL off.
    for name in ("PYTHONPATH", "PYTHON_GIL"):
        os.environ.pop(name, None)
    # Every CMake build compiles through ccache, kept in the cache folder beside the interpreters;
    # paths inside the checkout count relative to it, so a clone elsewhere hits the same entries.
    os.environ.update(CMAKE_C_COMPILER_LAUNCHER="ccache", CMAKE_CXX_COMPILER_LAUNCHER="ccache")
    os.environ.update(CCACHE_DIR=str(CACHE / "ccache"), CCACHE_BASEDIR=str(CHECKOUT))
    usage = __doc__.splitlines()
    parser = argparse.ArgumentParser("bash scripts/dev.sh", description=usage[0])
    parser.formatter_class = argparse.RawDescriptionHelpFormatter
    parser.epilog = "\n".join(usage[2:])
    parser.add_argument("command", choices=["demo", "test", "check", "wheels", "bench", "run"])
    parser.add_argument("jobs", nargs="*", metavar="JOB", help="run: the jobs to run")
    parser.add_argument("--list", action="store_true", help="run: list the jobs of `test`")
    cpus = float(os.environ.get("VELLORA_CPUS", os.cpu_count() or 2))
    cpus_help = "the cores jobs may keep busy at once (default: this machine's, or $VELLORA_CPUS)"
    parser.add_argument("--cpus", type=float, default=cpus, help=cpus_help)
    options = parser.parse_args()
    command = options.command
    if (options.jobs or options.list) and command != "run":
        parser.error("job names go with run")

    plan = tasks.Plan(load(), everything=command in ("test", "run", "wheels"))
    venv = plan.venv()
    if command == "demo":
        plan.add("demo", tasks.demo, [venv])
    elif command == "check":
        plan.add("core-tests", tasks.run_core_tests, [venv], tasks.ALL)
        plan.add("lint", tasks.lint, [venv])
        plan.add("pytest", partial(tasks.run_pytest, options=("-m", "not leak")), [venv])
    elif command == "wheels":
        plan.dist()
    elif command == "bench":
        plan.bench(quick=False)
    else:
        plan.everything()
        if options.list:
            print("\n".join(plan.specs))
            return 0
        if command == "run":
            unknown = [name for name in options.jobs if name not in plan.specs]
            if unknown or not options.jobs:
                parser.error(f"no job {' '.join(unknown)}: `run --list` names them")
            kept = plan.needed(options.jobs)
            plan.specs = {name: spec for name, spec in plan.specs.items() if name in kept}

    # The everyday commands show each job's log when it ends.
    show = command in ("demo", "check", "bench")
    runner = Runner(CHECKOUT / "build" / "logs", options.cpus, show=show)
    try:
        passed = runner.run(plan.specs.values())
    except KeyboardInterrupt:
        return 130
    say("passed" if passed else "FAILED")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
