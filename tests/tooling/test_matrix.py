"""The table of interpreters and wheels (scripts/matrix.toml) against what the project tells its
users: pyproject.toml's classifiers, the README's wheel list, and the wheels in dist/."""

import pathlib
import re
import sys
import tomllib

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(CHECKOUT / "scripts"))

from runner.matrix import load  # noqa: E402 - the path above comes first
from runner.tasks import version  # noqa: E402

MATRIX = load()
CLASSIFIERS = tomllib.loads((CHECKOUT / "pyproject.toml").read_text())["project"]["classifiers"]


def test_classifiers_name_the_versions_the_wheels_serve():
    served = {MATRIX.interpreter(wheel.built_with).version for wheel in MATRIX.wheels}
    classified = {match for classifier in CLASSIFIERS
                  for match in re.findall(r"^Programming Language :: Python :: (3\.\d+)$", classifier)}
    assert classified == served
    free_threaded = any(MATRIX.interpreter(wheel.built_with).free_threaded for wheel in MATRIX.wheels)
    assert free_threaded == any(classifier.startswith("Programming Language :: Python :: Free Threading")
                                for classifier in CLASSIFIERS)


def test_readme_lists_every_wheel_and_no_other():
    listed = re.findall(r"^\| `(corvantis-[^`]+\.whl)` \|", (CHECKOUT / "README.md").read_text(), re.M)
    assert sorted(listed) == sorted(wheel.file_name(version()) for wheel in MATRIX.wheels)


@pytest.mark.skipif(not any((CHECKOUT / "dist").glob("*.whl")), reason="no wheels in dist/: run `bash scripts/dev.sh wheels`")
def test_dist_holds_the_tables_wheels():
    made = sorted(path.name for path in (CHECKOUT / "dist").glob("*.whl"))
    assert made == sorted(wheel.file_name(version()) for wheel in MATRIX.wheels)
