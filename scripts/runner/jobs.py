"""Jobs side by side: each with a log of its own, its exit checked, its time kept.

A job is a function given a `Job` to run its commands through. Jobs start when those they need have
passed, a few at a time. The first failure, or Ctrl-C, stops every job still running (each command
runs in a process group of its own, which is ended whole) and starts no other.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
import traceback
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path


class Stopped(Exception):
    """Another job failed, or the run was interrupted: this one ends without a verdict."""


class CommandFailed(Exception):
    pass


def say(message: str) -> None:
    print(f"==> {message}", file=sys.stderr, flush=True)


@dataclass
class Spec:
    name: str
    action: Callable[["Job"], None]
    needs: Sequence[str] = ()


@dataclass
class Job:
    """What a running job's action is handed: its log, and commands run into it."""

    name: str
    log_path: Path
    runner: "Runner"
    echo: bool = False
    started: float = 0.0
    ended: float = 0.0
    outcome: str = "waiting"
    _log: object = field(default=None, repr=False)

    def note(self, message: str) -> None:
        self._write(f"==> {message}\n")
        if self.echo:
            say(message)

    def _write(self, text: str) -> None:
        self._log.write(text)
        self._log.flush()

    def run(self, argv: Sequence[str | os.PathLike[str]], *, cwd: Path | str | None = None,
            env: dict[str, str] | None = None, capture: bool = False, check: bool = True,
            shown: str | None = None) -> str:
        """Runs a command, its output into the log (and the terminal when echoing); with `capture`,
        stdout is returned instead. A failure raises CommandFailed unless `check` is false. The
        log shows `shown` for the command, where given."""
        argv = [str(part) for part in argv]
        self._write(f"$ {shown or ' '.join(argv)}\n")
        stdout = subprocess.PIPE if capture or self.echo else self._log
        began = time.monotonic()
        process = self.runner.start(argv, cwd=cwd, env=env, stdout=stdout, stderr=self._log)
        try:
            if capture:
                output = process.stdout.read()
            elif self.echo:
                output = ""
                for line in process.stdout:
                    self._log.write(line)
                    sys.stdout.write(line)
                    sys.stdout.flush()
            else:
                output = ""
            status = process.wait()
        finally:
            self.runner.forget(process)
        self._write(f"  ({time.monotonic() - began:.0f} s)\n")
        if self.runner.stopping.is_set():
            raise Stopped()
        if status != 0 and check:
            raise CommandFailed(f"{argv[0]} exited with status {status}")
        return output

    def python(self, interpreter: str | Path, *args: str | os.PathLike[str], **options) -> str:
        return self.run([interpreter, *args], **options)


def _interrupt(signum, frame) -> None:
    raise KeyboardInterrupt


class Runner:
    def __init__(self, logs: Path, parallel: int, echo: bool = False) -> None:
        self.logs = logs
        self.parallel = parallel
        self.echo = echo
        self.stopping = threading.Event()
        self._processes: set[subprocess.Popen] = set()
        self._lock = threading.Lock()

    def start(self, argv: list[str], **options) -> subprocess.Popen:
        with self._lock:
            if self.stopping.is_set():
                raise Stopped()
            process = subprocess.Popen(argv, text=True, errors="replace", start_new_session=True,
                                       stdin=subprocess.DEVNULL, **options)
            self._processes.add(process)
            return process

    def forget(self, process: subprocess.Popen) -> None:
        with self._lock:
            self._processes.discard(process)

    def stop_everything(self) -> None:
        """Ends every command still running, process group and all: first asked, then killed."""
        with self._lock:
            self.stopping.set()
            running = list(self._processes)
        for sig, grace in ((signal.SIGTERM, 10.0), (signal.SIGKILL, 5.0)):
            for process in running:
                try:
                    os.killpg(process.pid, sig)
                except ProcessLookupError:
                    pass
            deadline = time.monotonic() + grace
            for process in running:
                try:
                    process.wait(timeout=max(0.0, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    pass
            running = [process for process in running if process.poll() is None]
            if not running:
                break

    def run(self, specs: Iterable[Spec]) -> bool:
        """Runs the jobs, a few at a time, in the order given as far as their needs allow. Prints
        each job's time at the end, and a failed job's name and the tail of its log."""
        specs = list(specs)
        names = {spec.name for spec in specs}
        for spec in specs:
            missing = [need for need in spec.needs if need not in names]
            assert not missing, f"{spec.name} needs unknown jobs {missing}"
        self.logs.mkdir(parents=True, exist_ok=True)
        jobs = {spec.name: Job(spec.name, self.logs / f"{spec.name}.log", self, self.echo) for spec in specs}
        done = threading.Condition()
        threads: list[threading.Thread] = []
        failed: list[Job] = []
        began = time.monotonic()

        def work(spec: Spec, job: Job) -> None:
            with open(job.log_path, "w", encoding="utf-8", errors="replace") as log:
                job._log = log
                job.started = time.monotonic()
                try:
                    spec.action(job)
                    job.outcome = "passed"
                except Stopped:
                    job.outcome = "stopped"
                except CommandFailed as error:
                    job.outcome = "failed"
                    log.write(f"\n==> {spec.name} failed: {error}\n")
                except BaseException:  # a job's failure, whatever it is, fails the run
                    job.outcome = "failed"
                    log.write(f"\n==> {spec.name} failed:\n{traceback.format_exc()}")
                job.ended = time.monotonic()
            if job.outcome != "stopped":
                say(f"{spec.name} {job.outcome} in {job.ended - job.started:.0f} s")
            with done:
                if job.outcome == "failed":
                    failed.append(job)
                done.notify_all()

        pending = list(specs)
        # A runner told to end (by CI's time limit, say) ends its jobs first, as after Ctrl-C.
        previous = signal.signal(signal.SIGTERM, _interrupt)
        try:
            with done:
                while True:
                    running = sum(1 for job in jobs.values() if job.outcome == "running")
                    if failed and not self.stopping.is_set():
                        self.stopping.set()
                        threading.Thread(target=self.stop_everything, daemon=True).start()
                    if not self.stopping.is_set():
                        for spec in list(pending):
                            if running >= self.parallel:
                                break
                            outcomes = [jobs[need].outcome for need in spec.needs]
                            if any(outcome in ("failed", "stopped", "skipped") for outcome in outcomes):
                                jobs[spec.name].outcome = "skipped"
                                pending.remove(spec)
                            elif all(outcome == "passed" for outcome in outcomes):
                                pending.remove(spec)
                                job = jobs[spec.name]
                                job.outcome = "running"
                                say(f"{spec.name} started (log: {job.log_path.relative_to(self.logs.parent.parent)})")
                                thread = threading.Thread(target=work, args=(spec, job), daemon=True)
                                threads.append(thread)
                                thread.start()
                                running += 1
                    if running == 0 and (not pending or self.stopping.is_set()):
                        break
                    done.wait(timeout=1.0)
        except KeyboardInterrupt:
            say("interrupted: stopping every job")
            self.stop_everything()
            for thread in threads:
                thread.join()
            self._report(jobs, began)
            raise
        finally:
            signal.signal(signal.SIGTERM, previous)
        for thread in threads:
            thread.join()
        self._report(jobs, began)
        for job in failed:
            say(f"{job.name} failed; the end of {job.log_path}:")
            lines = job.log_path.read_text(encoding="utf-8", errors="replace").splitlines()
            print("\n".join(lines[-80:]), file=sys.stderr, flush=True)
        if failed:
            say(f"failed: {' '.join(job.name for job in failed)}")
        return not failed and not self.stopping.is_set()

    def _report(self, jobs: dict[str, Job], began: float) -> None:
        if len(jobs) < 2:
            return
        width = max(len(name) for name in jobs)
        lines = [f"  {name:<{width}}  {job.outcome:<8} {job.ended - job.started if job.ended else 0:7.0f} s"
                 for name, job in jobs.items()]
        say(f"jobs ({time.monotonic() - began:.0f} s in all):\n" + "\n".join(lines))
