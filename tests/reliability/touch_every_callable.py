"""Calls every callable and every error path of corvantis._vellora_core a few times: the workload
that the valgrind job (scripts/runner) runs under memcheck. The paths are those of tests/python/test_leaks.py,
whose own test fails when a module callable has no path there."""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import test_leaks  # noqa: E402 - the path above comes first
from support import fault_type  # noqa: E402

CALLS_PER_PATH = int(sys.argv[1]) if len(sys.argv) > 1 else 20


def main():
    print("module:", test_leaks.core.__file__)
    panic_type = fault_type(test_leaks.core)
    total = 0
    for case in test_leaks.CASES:
        quiet = test_leaks.stderr_to_devnull() if case.noisy else test_leaks.nullcontext()
        with quiet, test_leaks.json_as(case.json):
            test_leaks.run(case, CALLS_PER_PATH, panic_type)
        total += CALLS_PER_PATH
    print(f"touched {len(test_leaks.CASES)} paths, {total} calls")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
