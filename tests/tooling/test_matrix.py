"""The table of interpreters and wheels (scripts/matrix.toml) against what the project tells its
users: pyproject.toml's classifiers, the README's wheel list, and what dist/ holds."""

import pathlib
import re
import subprocess
import sys
import tarfile
import tomllib
import zipfile

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(CHECKOUT / "scripts"))

from runner.matrix import load  # noqa: E402 - the path above comes first

MATRIX = load()
VERSION = re.search(r'^__version__ = "([^"]+)"$', (CHECKOUT / "python/corvantis/__init__.py").read_text(), re.M)[1]
CLASSIFIERS = tomllib.loads((CHECKOUT / "pyproject.toml").read_text())["project"]["classifiers"]


def test_classifiers_name_the_versions_the_wheels_serve():
    served = {MATRIX.interpreters[wheel.built_with].version for wheel in MATRIX.wheels}
    classified = {match for classifier in CLASSIFIERS
                  for match in re.findall(r"^Programming Language :: Python :: (3\.\d+)$", classifier)}
    assert classified == served
    free_threaded = any(MATRIX.interpreters[wheel.built_with].free_threaded for wheel in MATRIX.wheels)
    assert free_threaded == any(classifier.startswith("Programming Language :: Python :: Free Threading")
                                for classifier in CLASSIFIERS)


def test_readme_lists_every_wheel_and_no_other():
    listed = re.findall(r"^\| `(corvantis-[^`]+\.whl)` \|", (CHECKOUT / "README.md").read_text(), re.M)
    assert sorted(listed) == sorted(wheel.file_name(VERSION) for wheel in MATRIX.wheels)


DIST = CHECKOUT / "dist"
WHEELS = sorted(DIST.glob("*.whl"))
TOOLS = pathlib.Path(sys.executable).parent
needs_dist = pytest.mark.skipif(not WHEELS, reason="no wheels in dist/: run `bash scripts/dev.sh wheels`")
SDIST_NEEDS = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "src/pyfacade/module.cpp",
               "src/registry/standard_table.cpp", "python/corvantis/__init__.py", "python/corvantis/__main__.py",
               "python/corvantis/cli.py", "python/corvantis/_pyvellora.py", "python/corvantis/_vellora_core.pyi",
               "python/corvantis/py.typed", "tests/python/conftest.py"]
WHEEL_NEEDS = ["__init__.py", "__main__.py", "cli.py", "_pyvellora.py", "_vellora_core.pyi", "py.typed"]


@needs_dist
def test_dist_holds_the_tables_wheels_and_passes_twine():
    assert [path.name for path in WHEELS] == sorted(wheel.file_name(VERSION) for wheel in MATRIX.wheels)
    subprocess.run([TOOLS / "twine", "check", "--strict", *sorted(DIST.iterdir())], check=True)


@needs_dist
def test_sdist_holds_the_sources_and_nothing_built():
    sdist, = DIST.glob("corvantis-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert [name for name in SDIST_NEEDS if name not in names] == []
    assert sorted(name for name in names if name.startswith(("build/", ".venv", "dist/")) or name.endswith(".so")) == []


@pytest.mark.parametrize("wheel", WHEELS, ids=[path.name for path in WHEELS])
def test_wheel_holds_the_package_bundles_nothing_and_exports_its_init_alone(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        assert [name for name in WHEEL_NEEDS if f"corvantis/{name}" not in names] == []
        assert any(name.endswith("dist-info/licenses/LICENSE") for name in names)
        assert [name for name in names if ".libs/" in name] == []  # auditwheel grafted no library in
        extension, = (name for name in names if name.startswith("corvantis/_vellora_core.") and name.endswith(".so"))
        archive.extract(extension, tmp_path)
    # What the extension imports is auditwheel's to judge; what it exports, this test's.
    listed = subprocess.run(["nm", "-D", "--defined-only", "--extern-only", tmp_path / extension],
                            capture_output=True, text=True, check=True).stdout
    assert listed.split()[2::3] == ["PyInit__vellora_core"]
    if "-abi3-" in wheel.name:
        subprocess.run([TOOLS / "abi3audit", "--strict", "--assume-minimum-abi3", "3.13", wheel], check=True)
