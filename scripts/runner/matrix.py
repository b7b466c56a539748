"""The table of interpreters and wheels (scripts/matrix.toml), read once."""

from __future__ import annotations

import tomllib
from dataclasses import dataclass, field
from pathlib import Path

CHECKOUT = Path(__file__).resolve().parents[2]
TABLE = CHECKOUT / "scripts" / "matrix.toml"


@dataclass(frozen=True)
class Source:
    minor: str
    version: str
    sha256: str


@dataclass(frozen=True)
class Root:
    name: str
    dir: str
    suite: str
    arch: str
    packages: tuple[str, ...]

    @property
    def machine(self) -> str:
        return {"amd64": "x86_64", "arm64": "aarch64"}[self.arch]


@dataclass(frozen=True)
class Interpreter:
    id: str
    version: str
    kind: str
    suite: str
    pip: str
    free_threaded: bool = False
    machine: str = "x86_64"
    root: str | None = None
    cache: str | None = None
    prefix: str | None = None
    configure: tuple[str, ...] = ()
    build_python: str | None = None

    @property
    def executable_name(self) -> str:
        return f"python{self.version}{'t' if self.free_threaded else ''}"

    @property
    def emulated(self) -> bool:
        return self.machine != "x86_64"

    @property
    def venv_name(self) -> str:
        return ".venv-" + self.id.replace(".", "")


@dataclass(frozen=True)
class Wheel:
    tag: str
    built_with: str
    proven_on: tuple[str, ...]

    @property
    def python_tag(self) -> str:
        return self.tag.split("-")[0]

    @property
    def abi_tag(self) -> str:
        return self.tag.split("-")[1]

    @property
    def platforms(self) -> tuple[str, ...]:
        return tuple(self.tag.split("-")[2].split("."))

    @property
    def machine(self) -> str:
        return "aarch64" if self.platforms[0].endswith("aarch64") else "x86_64"

    @property
    def libc(self) -> str:
        return "musl" if self.platforms[0].startswith("musllinux") else "glibc"

    @property
    def short(self) -> str:
        """The ABI tag, then the machine and C library where not x86-64 glibc: a name for jobs and logs."""
        libc = "-musl" if self.libc == "musl" else ""
        machine = "" if self.machine == "x86_64" else f"-{self.machine}"
        return f"{self.abi_tag}{machine}{libc}"

    def file_name(self, version: str) -> str:
        return f"corvantis-{version}-{self.tag}.whl"


@dataclass(frozen=True)
class Matrix:
    sources: dict[str, Source]
    roots: dict[str, Root]
    interpreters: dict[str, Interpreter]
    wheels: tuple[Wheel, ...]
    jobs: dict[str, object] = field(default_factory=dict)

    def interpreter(self, id: str) -> Interpreter:
        try:
            return self.interpreters[id]
        except KeyError:
            raise SystemExit(f"no interpreter {id}: choose one of {', '.join(self.interpreters)}") from None

    @property
    def development(self) -> Interpreter:
        return self.interpreter(str(self.jobs["development"]))


def load(path: Path = TABLE) -> Matrix:
    with open(path, "rb") as file:
        table = tomllib.load(file)
    sources = {minor: Source(minor, entry["version"], entry["sha256"]) for minor, entry in table["source"].items()}
    roots = {name: Root(name, entry["dir"], entry["suite"], entry["arch"], tuple(entry["packages"]))
             for name, entry in table["root"].items()}
    interpreters = {}
    for entry in table["interpreter"]:
        entry = {key: tuple(value) if isinstance(value, list) else value for key, value in entry.items()}
        interpreter = Interpreter(**entry)
        assert interpreter.id not in interpreters, f"interpreter {interpreter.id} listed twice"
        assert interpreter.root is None or interpreter.root in roots, f"{interpreter.id}: no root {interpreter.root}"
        interpreters[interpreter.id] = interpreter
    wheels = tuple(Wheel(entry["tag"], entry["built_with"], tuple(entry["proven_on"])) for entry in table["wheel"])
    for wheel in wheels:
        for id in (wheel.built_with, *wheel.proven_on):
            assert id in interpreters, f"wheel {wheel.tag}: no interpreter {id}"
    return Matrix(sources, roots, interpreters, wheels, table.get("jobs", {}))
