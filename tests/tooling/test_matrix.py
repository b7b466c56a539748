"""The table of interpreters and wheels (scripts/matrix.toml) against what the project tells its
users: pyproject.toml's classifiers, the README's wheel list, and what dist/ holds."""

import pathlib
import re
import shutil
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
    subprocess.run([TOOLS / "twine", "check", "--strict", *sorted(DIST.glob("corvantis-*"))], check=True)


@needs_dist
def test_sha256sums_cover_dist_and_check():
    listed = [line.split("  ")[1] for line in (DIST / "SHA256SUMS").read_text().splitlines()]
    assert listed == sorted(path.name for path in DIST.glob("corvantis-*"))
    subprocess.run(["sha256sum", "--check", "--strict", "--quiet", "SHA256SUMS"], cwd=DIST, check=True)


@pytest.mark.skipif(shutil.which("clang++-14") is None, reason="needs clang 14 (Debian 12's clang)")
def test_configure_refuses_a_compiler_that_cannot_build_the_code_in_one_line(tmp_path):
    # clang 14 compiles C++20, but neither its libstdc++ nor its libc++ has std::source_location.
    configure = [TOOLS / "cmake", "-S", CHECKOUT, "-B", tmp_path, "-DCMAKE_CXX_COMPILER=clang++-14"]
    configured = subprocess.run([*configure, "-DVELLORA_BUILD_PYTHON=OFF"], capture_output=True, text=True)
    assert configured.returncode != 0
    error = " ".join(configured.stderr.split())
    assert "corvantis._vellora_core needs a C++20 compiler and library with std::source_location" in error
    assert "this build found Clang 14." in error


@needs_dist
def test_sdist_holds_the_sources_and_nothing_built():
    sdist, = DIST.glob("corvantis-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert [name for name in SDIST_NEEDS if name not in names] == []
    assert sorted(name for name in names if name.startswith(("build/", ".venv", "dist/")) or name.endswith(".so")) == []


def test_an_sdist_holds_the_tracked_files_alone_whatever_the_tree_holds(tmp_path):
    # A tree where tests and builds have run: their bytecode and extensions must not reach the sdist,
    # or two clones of one commit give two sdists.
    tree = tmp_path / "tree"
    tracked = subprocess.run(["git", "ls-files"], cwd=CHECKOUT, capture_output=True, text=True, check=True)
    for name in tracked.stdout.splitlines():
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(CHECKOUT / name, tree / name)
    for planted in ("tests/python/__pycache__/conftest.cpython-313.pyc", "python/corvantis/_vellora_core.abi3.so",
                    "build/cp313-abi3-linux_x86_64/CMakeCache.txt", ".venv/bin/python"):
        (tree / planted).parent.mkdir(parents=True, exist_ok=True)
        (tree / planted).write_text("planted")
    build = [sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", tmp_path / "dist", tree]
    subprocess.run(build, capture_output=True, check=True)
    sdist, = (tmp_path / "dist").glob("corvantis-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert sorted(names - {"PKG-INFO"}) == sorted(tracked.stdout.splitlines())


def version_needs(extension: pathlib.Path) -> list[tuple[str, str]]:
    """(library, version) for every symbol version the extension needs from another library."""
    listed = subprocess.run(["readelf", "--version-info", "--wide", extension],
                            capture_output=True, text=True, check=True).stdout
    needs, library = [], None
    for line in listed.partition("Version needs section")[2].splitlines():
        if found := re.search(r"File: (\S+)", line):
            library = found[1]
        elif found := re.search(r"Name: (\S+)", line):
            needs.append((library, found[1]))
    return needs


def beyond_tag(extension: pathlib.Path, wheel_name: str) -> list[tuple[str, str]]:
    """The version needs a system the wheel's tag admits may not meet: on glibc, any but a GLIBC_
    version no newer than the oldest glibc its tags name (the loader's and libm's included, which
    auditwheel passes over); on musl, which versions nothing, any at all."""
    tagged = [(int(major), int(minor)) for major, minor in re.findall(r"manylinux_(\d+)_(\d+)_", wheel_name)]
    tagged += [(2, 17)] * ("manylinux2014_" in wheel_name)
    oldest = min(tagged, default=None)
    beyond = []
    for library, version in version_needs(extension):
        found = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version)
        if oldest is None or found is None or (int(found[1]), int(found[2])) > oldest:
            beyond.append((library, version))
    return beyond


def extracted_extension(wheel: pathlib.Path, folder: pathlib.Path) -> pathlib.Path:
    with zipfile.ZipFile(wheel) as archive:
        extension, = (name for name in archive.namelist()
                      if name.startswith("corvantis/_vellora_core.") and name.endswith(".so"))
        return pathlib.Path(archive.extract(extension, folder))


@needs_dist
def test_the_audit_finds_a_version_newer_than_the_tag(tmp_path):
    wheel = next(path for path in WHEELS if "-manylinux" in path.name)
    extension = extracted_extension(wheel, tmp_path)
    library, version = version_needs(extension)[-1]
    newer = version.replace("GLIBC_2.", "GLIBC_9.", 1)  # as long, so the copy stays a valid ELF file
    mutated = tmp_path / "newer.so"
    mutated.write_bytes(extension.read_bytes().replace(f"{version}\0".encode(), f"{newer}\0".encode()))
    found = beyond_tag(mutated, wheel.name)
    assert (library, newer) in found and {version for _, version in found} == {newer}
    # On musl no need is admitted.
    assert beyond_tag(extension, wheel.name.replace("manylinux", "musllinux")) == version_needs(extension)


@pytest.mark.parametrize("wheel", WHEELS, ids=[path.name for path in WHEELS])
def test_wheel_holds_the_package_bundles_nothing_exports_its_init_alone_and_keeps_to_its_tag(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        assert [name for name in WHEEL_NEEDS if f"corvantis/{name}" not in names] == []
        assert any(name.endswith("dist-info/licenses/LICENSE") for name in names)
        assert [name for name in names if ".libs/" in name] == []  # auditwheel grafted no library in
    extension = extracted_extension(wheel, tmp_path)
    # What the extension imports is auditwheel's to judge; what it exports, this test's.
    listed = subprocess.run(["nm", "-D", "--defined-only", "--extern-only", extension],
                            capture_output=True, text=True, check=True).stdout
    assert listed.split()[2::3] == ["PyInit__vellora_core"]
    assert beyond_tag(extension, wheel.name) == []
    if "-abi3-" in wheel.name:
        subprocess.run([TOOLS / "abi3audit", "--strict", "--assume-minimum-abi3", "3.13", wheel], check=True)
