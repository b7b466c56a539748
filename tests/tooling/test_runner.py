"""The job runner (scripts/runner): order, the CPU budget, stopping, the table's checks, the cache
folders' names, the plan's wiring, and the machine's set-up shared by jobs that start together."""

import contextlib
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time
import tomllib

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(CHECKOUT / "scripts"))

import runner.__main__ as runner_main  # noqa: E402 - the path above comes first
from runner import places, tasks  # noqa: E402
from runner.jobs import Runner, Spec  # noqa: E402
from runner.matrix import TABLE, TableError, parse  # noqa: E402


@pytest.fixture
def runner(tmp_path):
    return Runner(tmp_path / "build" / "logs", cpus=2)


def test_jobs_start_after_their_needs_and_a_failure_skips_what_needs_it(runner):
    started = []

    def job(name, fails=False):
        def action(job):
            started.append(name)
            if fails:
                job.run(["false"])
        return action

    specs = [Spec("c", job("c"), ("b",)), Spec("b", job("b"), ("a",)), Spec("a", job("a")),
             Spec("d", job("d", fails=True), ("c",)), Spec("e", job("e"), ("d",))]
    assert runner.run(specs) is False
    assert started == ["a", "b", "c", "d"]


def test_jobs_share_the_cpu_budget(runner):
    spans = {}

    def action(job):
        began = time.monotonic()
        time.sleep(0.3)
        spans[job.name] = (began, time.monotonic())

    assert runner.run([Spec("heavy1", action, cpus=2), Spec("heavy2", action, cpus=2),
                       Spec("light1", action, cpus=1), Spec("light2", action, cpus=1)])
    (a0, a1), (b0, b1) = spans["heavy1"], spans["heavy2"]
    assert a1 <= b0 or b1 <= a0, "two jobs that each take every core ran at once"
    (c0, c1), (d0, d1) = spans["light1"], spans["light2"]
    assert c0 < d1 and d0 < c1, "two one-core jobs waited for each other on two cores"


def test_a_failure_stops_the_running_jobs_and_names_the_failed_one(runner, capsys):
    began = time.monotonic()
    specs = [Spec("slow", lambda job: job.run(["sleep", "60"])),
             Spec("broken", lambda job: (time.sleep(0.5), job.run(["sh", "-c", "echo it broke; exit 3"])))]
    assert runner.run(specs) is False
    assert time.monotonic() - began < 30
    err = capsys.readouterr().err
    assert "failed: broken" in err and "it broke" in err and "failed: slow" not in err


# The job's shell starts a sleep in the background and waits: ending the shell alone would leave
# the sleep running, so only the end of the whole process group passes.
STOPPED_WITH_A_GRANDCHILD = textwrap.dedent("""
    import pathlib, signal, sys, time
    sys.path.insert(0, sys.argv[1])
    signal.signal(signal.SIGINT, signal.default_int_handler)  # as at a terminal, though started in the background
    from runner.jobs import Runner, Spec
    folder, how = pathlib.Path(sys.argv[2]), sys.argv[3]
    pid = folder / "pid"

    def sleeper(job):
        job.run(["sh", "-c", f"sleep 120 & echo $! > {pid}.new && mv {pid}.new {pid}; wait"])

    def broken(job):
        while not pid.exists():
            time.sleep(0.05)
        job.run(["false"])

    specs = [Spec("sleeper", sleeper)] + ([Spec("broken", broken)] if how == "failure" else [])
    try:
        sys.exit(0 if Runner(folder / "build" / "logs", cpus=2).run(specs) else 1)
    except KeyboardInterrupt:
        sys.exit(130)
""")


def running(pid):
    """A process that has ended but is not yet reaped by its new parent is no longer running."""
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return False
    return stat.rpartition(")")[2].split()[0] != "Z"


@pytest.mark.parametrize("how, status", [("failure", 1), ("ctrl-c", 130)])
def test_stopping_ends_each_commands_whole_process_group(tmp_path, how, status):
    argv = [sys.executable, "-c", STOPPED_WITH_A_GRANDCHILD, CHECKOUT / "scripts", tmp_path, how]
    run = subprocess.Popen(argv, stderr=subprocess.PIPE, text=True)
    pid_file = tmp_path / "pid"
    deadline = time.monotonic() + 30
    while not pid_file.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    grandchild = int(pid_file.read_text())
    try:
        if how == "ctrl-c":
            run.send_signal(signal.SIGINT)
        _, err = run.communicate(timeout=60)
        assert run.returncode == status, err
        deadline = time.monotonic() + 10
        while running(grandchild) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not running(grandchild), "the job's grandchild outlived the stop"
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.kill(grandchild, signal.SIGKILL)


def table_with(change):
    table = tomllib.loads(TABLE.read_text())
    change(table)
    return table


def set_row(row_id, **values):
    def change(table):
        row = next(row for row in table["interpreter"] if row["id"] == row_id)
        row.update(values)
    return change


@pytest.mark.parametrize("change, message", [
    (set_row("3.14-arm64", suite="wheel"), "interpreter 3.14-arm64: suite 'wheel' is not one of"),
    (set_row("3.14t", suite="all"), "CPython 3.14: one interpreter runs the suite \"all\", not 2"),
    (set_row("3.15", suite="compiled"), "CPython 3.15: one interpreter runs the suite \"all\", not 0"),
    (set_row("3.13t", kind="built"), "interpreter 3.13t: unknown key `kind`"),
    (set_row("3.13-musl", **{"from": "alpine"}), "interpreter 3.13-musl: from 'alpine' is not one of"),
    (set_row("3.14", root="sid-amd64"), "interpreter 3.14: no root sid-amd64"),
    (set_row("3.15", root=None), "a string"),
    (set_row("3.13t", root="sid"), "interpreter 3.13t: from 'built' takes no root"),
    (lambda table: table["interpreter"].remove(next(row for row in table["interpreter"] if row["id"] == "3.14-musl")),
     "interpreter 3.14-musl-arm64: no interpreter 3.14-musl built here"),
    (lambda table: table["interpreter"][2].pop("root"), "interpreter 3.14: from 'root' needs a root"),
    (set_row("3.13", id="3.13-"), "an id is VERSION"),
    (lambda table: table["root"]["sid"].update(arch="arm"), "[root.sid]: arch 'arm' is not one of"),
    (lambda table: table["root"]["sid"].pop("release"), "[root.sid]: `release` is missing"),
    (lambda table: table["interpreter"].append(dict(table["interpreter"][0])), "interpreter 3.13: listed twice"),
    (lambda table: table["jobs"].update(thread_sanitizer="3.13-tsan"), "[jobs]: thread_sanitizer: no interpreter"),
    (lambda table: table.update(wheel=[]), "unknown section [wheel]"),
])
def test_the_table_is_checked_as_it_loads(change, message):
    with pytest.raises(TableError) as error:
        parse(table_with(change))
    assert message in str(error.value)


# One interpreter of each kind, so that the plan's wiring and the cache folders' names are tested
# apart from what scripts/matrix.toml holds today.
SMALL_TABLE = """
interpreter = [
    { id = "3.13", from = "host", suite = "all", proves = ["own", "abi3"] },
    { id = "3.13t", from = "built", suite = "compiled" },
    { id = "3.14", from = "root", root = "sid", suite = "all" },
    { id = "3.14-arm64", from = "root", root = "sid-arm64", suite = "compiled" },
    { id = "3.13t-arm64", from = "cross-built", root = "sid-arm64", suite = "compiled" },
    { id = "3.13-musl", from = "musl", suite = "compiled" },
    { id = "3.13-musl-arm64", from = "musl", root = "sid-arm64", suite = "compiled" },
    { id = "3.13-debian11", from = "root-built", root = "bullseye", suite = "compiled" },
]

[source."python3.13"]
pool = "main/p/python3.13/python3.13_3.13.5.orig.tar.xz"
sha256 = "93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640"

[root]
sid = { release = "sid", arch = "amd64" }
sid-arm64 = { release = "sid", arch = "arm64" }
bullseye = { release = "bullseye", arch = "amd64" }

[jobs]
development = "3.13"
thread_sanitizer = "3.13t"
free_threaded_pins = ["mypy==1.18.2"]
"""


def cache_folders(table):
    """The folder of each root and of each CPython built for this machine, by name."""
    matrix = parse(table)
    folders = {root.name: places.root_folder(matrix, root) for root in matrix.roots.values()}
    for interpreter in matrix.interpreters.values():
        if interpreter.origin in ("built", "musl") and not interpreter.root:
            folders[interpreter.id] = places.cpython_folder(matrix, interpreter)
    return folders


def small_table(change=lambda table: None):
    table = tomllib.loads(SMALL_TABLE)
    change(table)
    return table


@pytest.mark.parametrize("change, renamed", [
    # What a recipe holds: a root's release and packages, each CPython's configure flags, those of
    # the CPythons built into a root.
    (lambda table: table["interpreter"].append({"id": "3.15", "from": "root", "root": "sid", "suite": "all"}),
     {"sid"}),
    (lambda table: table["root"]["bullseye"].update(release="bookworm"), {"bullseye"}),
    (set_row("3.13t", configure=["--with-lto"]), {"3.13t"}),
    (set_row("3.13-musl", configure=["--with-lto"]), {"3.13-musl"}),
    (set_row("3.13t-arm64", configure=["--with-lto"]), {"sid-arm64"}),
    (set_row("3.13-debian11", configure=["--with-lto"]), {"bullseye"}),
    # What it does not: which tests run, the wheels, the jobs' choices, a source's checksum, a root
    # no interpreter uses.
    (set_row("3.13-musl", suite="none"), set()),
    (set_row("3.14", proves=["own", "abi3"]), set()),
    (lambda table: table["jobs"].update(thread_sanitizer="3.13t-arm64", free_threaded_pins=[]), set()),
    (lambda table: table["source"]["python3.13"].update(sha256="0" * 64), set()),
    (lambda table: table["root"].update(trixie={"release": "trixie", "arch": "amd64"}), set()),
])
def test_a_cache_folder_is_renamed_just_when_its_recipe_changes(change, renamed):
    before = cache_folders(small_table())
    after = cache_folders(small_table(change))
    assert {name for name in before if after[name] != before[name]} == renamed


def test_a_changed_build_script_renames_every_cpython_built_and_each_root_holding_one(
    tmp_path, monkeypatch
):
    before = cache_folders(small_table())
    script = tmp_path / "build_cpython.sh"
    script.write_text(places.BUILD_SCRIPT.read_text() + "# changed\n")
    monkeypatch.setattr(places, "BUILD_SCRIPT", script)
    after = cache_folders(small_table())
    renamed = {name for name in before if after[name] != before[name]}
    assert renamed == {"3.13t", "3.13-musl", "sid-arm64", "bullseye"}


@pytest.fixture
def plan():
    plan = tasks.Plan(parse(small_table()), everything=True)
    plan.everything()
    return plan


@pytest.mark.parametrize("job, needs", [
    # A proof needs its wheel, built from the sdist by the venv's tools, and its interpreter: here
    # built inside its root.
    ("check:cp313@3.13-debian11", {"wheel:cp313", "sdist", "venv", "root:bullseye", "python:3.13-debian11"}),
    # Under emulation, also the CPython of its version that runs here (Debian's, in sid), which
    # byte-compiles what the proof imports.
    ("check:cp314-aarch64@3.14-arm64", {"wheel:cp314-aarch64", "sdist", "venv", "root:sid-arm64", "root:sid"}),
    # A cross-built interpreter needs the one of its kind built here, which builds it.
    ("check:cp313t-aarch64@3.13t-arm64",
     {"wheel:cp313t-aarch64", "sdist", "venv", "root:sid-arm64", "python:3.13t-arm64", "python:3.13t"}),
    # musl for another machine is built by the musl one of this machine, with zig from the venv.
    ("python:3.13-musl-arm64", {"root:sid-arm64", "python:3.13-musl", "venv"}),
    ("suite:3.13", {"check:cp313@3.13", "check:abi3@3.13", "wheel:cp313", "wheel:abi3", "sdist", "venv"}),
    ("tsan-free-threaded", {"venv", "python:3.13t"}),
    ("asan", {"venv"}),
])
def test_a_job_needs_what_it_uses_and_nothing_more(plan, job, needs):
    assert plan.needed([job]) == {job, "system", *needs}


def test_every_job_needs_the_machine_set_up_first(plan):
    assert plan.specs["system"].needs == ()
    assert [name for name, spec in plan.specs.items() if "system" not in (name, *spec.needs)] == []


@pytest.mark.parametrize("named, kept", [
    (["asan"], {"system", "venv", "asan"}),
    (["fuzz:number_format", "tsan"], {"system", "venv", "fuzz:number_format", "tsan"}),
])
def test_run_plans_the_jobs_named_and_what_they_need_alone(monkeypatch, named, kept):
    planned = []

    class Recorder:
        def __init__(self, *args, **options):
            pass

        def run(self, specs):
            planned.extend(spec.name for spec in specs)
            return True

    # The runner sets these up for its jobs: put back afterwards.
    for name in ("PYTHONPATH", "PYTHON_GIL", "CMAKE_C_COMPILER_LAUNCHER", "CMAKE_CXX_COMPILER_LAUNCHER",
                 "CCACHE_DIR", "CCACHE_BASEDIR"):
        monkeypatch.setenv(name, os.environ.get(name, ""))
    monkeypatch.setattr(runner_main, "Runner", Recorder)
    monkeypatch.setattr(sys, "argv", ["dev.sh", "run", *named])
    assert runner_main.main() == 0
    assert set(planned) == kept


# Two runs set up emulation at once on a machine where binfmt_misc is not mounted: each must find
# the other's mount and registration rather than fail on them.
SET_UP_TWICE = textwrap.dedent("""
    import subprocess, sys
    sys.path.insert(0, sys.argv[1])
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["umount", "/proc/sys/fs/binfmt_misc"], capture_output=True)
    from runner import places
    from runner.jobs import Runner, Spec
    spec = lambda name: Spec(name, lambda job: places.set_up(job, [], ["aarch64"]))
    sys.exit(0 if Runner(__import__("pathlib").Path(sys.argv[2]) / "build" / "logs", cpus=2).run(
        [spec("first"), spec("second")]) else 1)
""")


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare")
                    or not pathlib.Path("/usr/lib/binfmt.d/qemu-aarch64.conf").exists(),
                    reason="needs root, unshare and qemu-user-static")
def test_emulation_set_up_twice_at_once_from_nothing(tmp_path):
    results = []

    def set_up(index):
        results.append(subprocess.run(["unshare", "--mount", "--fork", sys.executable, "-c", SET_UP_TWICE,
                                       CHECKOUT / "scripts", tmp_path / str(index)], capture_output=True, text=True))

    threads = [threading.Thread(target=set_up, args=(index,)) for index in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [result.returncode for result in results] == [0, 0], [result.stderr for result in results]


@pytest.mark.parametrize("tool", [["pyflakes"], ["ruff", "format", "--check"]], ids=["pyflakes", "ruff"])
def test_the_scripts_are_as_the_linters_want(tool):
    pytest.importorskip(tool[0], reason=f"{tool[0]} comes with the development venv")
    result = subprocess.run([sys.executable, "-m", *tool, CHECKOUT / "scripts"], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
