"""Jobs side by side, each with its own log, its exit checked and its time kept. The first failure,
or Ctrl-C, ends every command still running (each in a process group of its own) and starts no
other job."""

import contextlib
import graphlib
import os
import shlex
import signal
import subprocess
import sys
import threading
import time
import traceback
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from pathlib import Path
from typing import TextIO


class Stopped(Exception):
    """Another job failed, or the run was interrupted: this one ends without a verdict."""


def say(message: str) -> None:
    print(f"==> {message}", file=sys.stderr, flush=True)


@dataclass(frozen=True)
class Spec:
    name: str
    action: Callable[["Job"], object]
    needs: Sequence[str] = ()
    cpus: float = 1.0  # the cores it keeps busy


@dataclass(eq=False)
class Job:
    """What a running job's action is handed: its log, and commands run into it."""

    name: str
    log: TextIO
    runner: "Runner"

    def write(self, text: str) -> None:
        self.log.write(text)
        self.log.flush()

    def run(self, argv: Sequence, *, cwd=None, env=None, capture: bool = False) -> str:
        """Output goes to the log, after the command as a shell would take it, or is returned."""
        argv = [str(part) for part in argv]
        self.write(f"$ {shlex.join(argv)}\n")
        began = time.monotonic()
        streams = dict(stdin=subprocess.DEVNULL, stdout=subprocess.PIPE if capture else self.log)
        # A process group of its own, which stopping the run ends whole.
        options = dict(cwd=cwd, env=env, text=True, errors="replace", start_new_session=True)
        with self.runner.lock:  # no command starts once the run is stopping
            if self.runner.stopping.is_set():
                raise Stopped()
            process = subprocess.Popen(argv, **streams, stderr=self.log, **options)
            self.runner.processes.add(process)
        try:
            output = process.communicate()[0] or ""
        finally:
            with self.runner.lock:
                self.runner.processes.discard(process)
        self.write(f"  ({time.monotonic() - began:.0f} s)\n")
        if self.runner.stopping.is_set():
            raise Stopped()
        if process.returncode != 0:
            raise subprocess.CalledProcessError(process.returncode, argv[0])
        return output


class Runner:
    def __init__(self, logs: Path, cpus: float, show: bool = False) -> None:
        self.logs = logs
        self.cpus = cpus
        self.show = show  # each job's whole log when it ends, not only a failed one's end
        self.stopping = threading.Event()
        self.processes: set[subprocess.Popen] = set()
        self.lock = threading.Lock()

    def stop_everything(self) -> None:
        """Ends every command still running, process group and all: first asked, then killed."""
        with self.lock:
            self.stopping.set()
            running = list(self.processes)
        for sig, grace in ((signal.SIGTERM, 10.0), (signal.SIGKILL, 5.0)):
            for process in running:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, sig)
            deadline = time.monotonic() + grace
            for process in running:
                with contextlib.suppress(subprocess.TimeoutExpired):
                    process.wait(timeout=max(0.0, deadline - time.monotonic()))
            running = [process for process in running if process.poll() is None]

    def _work(self, spec: Spec) -> tuple[str, float]:
        began = time.monotonic()
        path = self.logs / f"{spec.name}.log"
        with open(path, "w", encoding="utf-8", errors="replace") as log:
            try:
                spec.action(Job(spec.name, log, self))
                outcome = "passed"
            except Stopped:
                outcome = "stopped"
            except subprocess.CalledProcessError as error:
                outcome = "failed"
                log.write(f"\n==> {spec.name} failed: {error}\n")
            except Exception:  # a job's failure, whatever it is, fails the run
                outcome = "failed"
                log.write(f"\n==> {spec.name} failed: {traceback.format_exc()}\n")
        seconds = time.monotonic() - began
        if self.show or outcome == "failed":
            lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
            if self.show:
                print("\n".join(lines), flush=True)
            else:
                print("\n".join(lines[-80:]), file=sys.stderr, flush=True)
        if outcome != "stopped":
            say(f"{spec.name} {outcome} in {seconds:.0f} s")
        return outcome, seconds

    def run(self, specs: Iterable[Spec]) -> bool:
        """Runs the jobs, earlier ones first as far as their needs and the CPU budget allow."""
        specs = {spec.name: spec for spec in specs}
        order = list(specs)
        graph = graphlib.TopologicalSorter({name: spec.needs for name, spec in specs.items()})
        graph.prepare()  # raises CycleError on a cycle
        unknown = {need for spec in specs.values() for need in spec.needs} - specs.keys()
        assert not unknown, f"jobs needed but not planned: {sorted(unknown)}"
        self.logs.mkdir(parents=True, exist_ok=True)
        logs = self.logs.relative_to(self.logs.parent.parent)
        results: dict[str, tuple[str, float]] = {}  # each job's outcome and seconds
        running: dict[Future, str] = {}
        ready: list[str] = []
        began = time.monotonic()
        # CI's time limit ends the jobs too.
        previous = signal.signal(signal.SIGTERM, signal.default_int_handler)
        pool = ThreadPoolExecutor(max_workers=max(1, len(specs)))
        try:
            while graph.is_active() and not self.stopping.is_set():
                ready = sorted({*ready, *graph.get_ready()}, key=order.index)
                busy = sum(specs[name].cpus for name in running.values())
                for name in list(ready):
                    # Started in order while a core is free, so a heavy job is never passed over
                    # for lighter ones; jobs that keep no core busy start at once.
                    if specs[name].cpus and running and busy >= self.cpus:
                        continue
                    ready.remove(name)
                    busy += specs[name].cpus
                    say(f"{name} started (log: {logs}/{name}.log)")
                    running[pool.submit(self._work, specs[name])] = name
                done, _ = wait(running, return_when=FIRST_COMPLETED)
                for future in done:
                    name = running.pop(future)
                    results[name] = future.result()
                    if results[name][0] == "passed":
                        graph.done(name)
                    else:
                        self.stop_everything()
        except KeyboardInterrupt:
            say("interrupted: stopping every job")
            self.stop_everything()
            raise
        finally:
            signal.signal(signal.SIGTERM, previous)
            pool.shutdown(wait=True)
            for future, name in running.items():
                results[name] = future.result()
            self._report(specs, results, time.monotonic() - began)
        passed = all(outcome == "passed" for outcome, _ in results.values())
        return passed and len(results) == len(specs)

    def _report(self, specs: dict, results: dict[str, tuple[str, float]], seconds: float) -> None:
        """Each job's time, then the failed jobs' names."""
        if len(specs) > 1:
            width = max(map(len, specs))
            lines = []
            for name in specs:
                outcome, spent = results.get(name, ("not run", 0))
                lines.append(f"  {name:<{width}}  {outcome:<8} {spent:7.0f} s")
            say(f"jobs ({seconds:.0f} s in all):\n" + "\n".join(lines))
        failed = [name for name, (outcome, _) in results.items() if outcome == "failed"]
        if failed:
            say(f"failed: {' '.join(failed)}")
