"""The job runner (scripts/runner): order, the CPU budget, stopping, the table's checks, and the
machine's set-up shared by jobs that start together."""

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

from runner.jobs import Runner, Spec  # noqa: E402 - the path above comes first
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


RUN_UNTIL_INTERRUPTED = textwrap.dedent("""
    import pathlib, signal, sys
    sys.path.insert(0, sys.argv[1])
    signal.signal(signal.SIGINT, signal.default_int_handler)  # as at a terminal, though started in the background
    from runner.jobs import Runner, Spec
    logs = pathlib.Path(sys.argv[2])
    spec = Spec("sleeper", lambda job: job.run(["sh", "-c", f"echo $$ > {logs}/pid; exec sleep 120"]))
    try:
        Runner(logs / "build" / "logs", cpus=2).run([spec])
    except KeyboardInterrupt:
        sys.exit(130)
""")


def test_ctrl_c_leaves_nothing_running(tmp_path):
    runner = subprocess.Popen([sys.executable, "-c", RUN_UNTIL_INTERRUPTED, CHECKOUT / "scripts", tmp_path],
                              stderr=subprocess.PIPE, text=True)
    pid_file = tmp_path / "pid"
    deadline = time.monotonic() + 30
    while not (pid_file.exists() and pid_file.read_text().strip()) and time.monotonic() < deadline:
        time.sleep(0.05)
    sleeper = int(pid_file.read_text())
    runner.send_signal(signal.SIGINT)
    assert runner.wait(timeout=30) == 130
    with pytest.raises(ProcessLookupError):
        os.kill(sleeper, 0)


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


# Two runs set up emulation at once on a machine where binfmt_misc is not mounted: each must find
# the other's mount and registration rather than fail on them.
SET_UP_TWICE = textwrap.dedent("""
    import subprocess, sys
    sys.path.insert(0, sys.argv[1])
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["umount", "/proc/sys/fs/binfmt_misc"], capture_output=True)
    from runner import places
    from runner.jobs import Runner, Spec
    spec = lambda name: Spec(name, lambda job: places.enable_emulation(job, ["aarch64"]))
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


def test_pyflakes_finds_nothing_in_the_scripts():
    pytest.importorskip("pyflakes", reason="pyflakes comes with the development venv")
    result = subprocess.run([sys.executable, "-m", "pyflakes", CHECKOUT / "scripts"], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
