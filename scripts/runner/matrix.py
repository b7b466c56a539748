"""The table of interpreters (scripts/matrix.toml), checked as it loads; the wheels follow."""

import hashlib
import json
import re
import tomllib
from dataclasses import dataclass
from pathlib import Path

CHECKOUT = Path(__file__).resolve().parents[2]
TABLE = CHECKOUT / "scripts" / "matrix.toml"


@dataclass(frozen=True)
class Arch:
    """A Debian machine: its name in wheel tags, its GNU triplet, qemu-user's name and CPU, and the
    oldest glibc its wheels' tag promises."""

    machine: str
    triplet: str
    qemu: str | None = None
    qemu_cpu: str | None = None
    glibc: str = "2_17"


ARCHES = {
    "amd64": Arch("x86_64", "x86_64-linux-gnu"),
    "i386": Arch("i686", "i686-linux-gnu"),
    # Debian's arm64 binaries use pointer authentication, which qemu's default CPU emulates slowly.
    "arm64": Arch("aarch64", "aarch64-linux-gnu", "aarch64", "max,pauth-impdef=on"),
    "armhf": Arch("armv7l", "arm-linux-gnueabihf", "arm"),
    "ppc64el": Arch("ppc64le", "powerpc64le-linux-gnu", "ppc64le"),
    "s390x": Arch("s390x", "s390x-linux-gnu", "s390x"),
    # glibc came to RISC-V with 2.27; auditwheel's oldest policy there is 2.31.
    "riscv64": Arch("riscv64", "riscv64-linux-gnu", "riscv64", glibc="2_31"),
}
# The oldest CPython whose Limited API the abi3 wheels take.
ABI3_PYTHON = "cp313"
ORIGINS = ("host", "built", "root", "root-built", "cross-built", "musl")
SUITES = ("all", "compiled", "none")


class TableError(Exception):
    """A row the runner cannot take, named."""


@dataclass(frozen=True)
class Source:
    name: str
    pool: str
    sha256: str


@dataclass(frozen=True)
class Root:
    name: str
    release: str
    arch: str


@dataclass(frozen=True)
class Interpreter:
    id: str
    origin: str
    suite: str
    root: str | None = None
    configure: tuple[str, ...] = ()
    proves: tuple[str, ...] = ("own",)

    @property
    def base_id(self) -> str:
        """The version and its "t"."""
        return self.id.split("-")[0]

    @property
    def builder_id(self) -> str:
        """For a cross-built interpreter, the one of its version and kind built here."""
        return f"{self.version}-musl" if self.origin == "musl" else self.base_id

    @property
    def version(self) -> str:
        return self.base_id.rstrip("t")

    @property
    def free_threaded(self) -> bool:
        return self.base_id.endswith("t")

    @property
    def prefix(self) -> str:
        """Where an interpreter built for a root lives inside it."""
        return f"/opt/py{self.base_id.replace('.', '')}"


@dataclass(frozen=True)
class Wheel:
    python_tag: str
    abi_tag: str
    arch: Arch
    libc: str
    built_with: str
    proven_on: tuple[str, ...]

    @property
    def machine(self) -> str:
        return self.arch.machine

    @property
    def short(self) -> str:
        """For jobs and logs: the ABI tag, then the machine and C library if not x86-64 glibc."""
        machine = "" if self.machine == "x86_64" else f"-{self.machine}"
        return self.abi_tag + machine + ("-musl" if self.libc == "musl" else "")

    def file_name(self, version: str) -> str:
        platform = f"manylinux_{self.arch.glibc}_{self.machine}"
        if self.arch.glibc == "2_17":  # auditwheel names manylinux2014 too
            platform = f"manylinux2014_{self.machine}.{platform}"
        if self.libc == "musl":
            platform = f"musllinux_1_2_{self.machine}"
        return f"corvantis-{version}-{self.python_tag}-{self.abi_tag}-{platform}.whl"


@dataclass(frozen=True)
class Matrix:
    sources: dict[str, Source]
    roots: dict[str, Root]
    interpreters: dict[str, Interpreter]
    development: Interpreter
    thread_sanitizer: Interpreter
    free_threaded_pins: tuple[str, ...]

    def arch(self, interpreter: Interpreter) -> Arch:
        return ARCHES[self.roots[interpreter.root].arch if interpreter.root else "amd64"]

    def emulated(self, interpreter: Interpreter) -> bool:
        return self.arch(interpreter).qemu is not None

    def native(self, interpreter: Interpreter) -> Interpreter | None:
        """For an emulated interpreter, one of the same version and kind that runs here."""
        if self.emulated(interpreter):
            for other in self.interpreters.values():
                if other.base_id == interpreter.base_id and not self.emulated(other):
                    return other
        return None

    @property
    def emulators(self) -> list[str]:
        """qemu-user's names of the machines the roots run under emulation."""
        return sorted({ARCHES[root.arch].qemu for root in self.roots.values()} - {None})

    @property
    def wheels(self) -> tuple[Wheel, ...]:
        """A wheel for each tag the interpreters prove, built with the first, proven on each."""
        provers: dict[tuple, list[str]] = {}
        for interpreter in self.interpreters.values():
            if interpreter.suite == "none":
                continue
            python = "cp" + interpreter.version.replace(".", "")
            own = (python, python + "t" * interpreter.free_threaded)
            libc = "musl" if interpreter.origin == "musl" else "glibc"
            for proof in interpreter.proves:
                tags = own if proof == "own" else (ABI3_PYTHON, "abi3")
                provers.setdefault((*tags, self.arch(interpreter), libc), []).append(interpreter.id)
        return tuple(Wheel(*key, ids[0], tuple(ids)) for key, ids in provers.items())

    def recipe(self, *parts: object) -> str:
        # A changed recipe is a new name, rather than taken for the old one.
        text = json.dumps(parts, default=repr, sort_keys=True)
        return hashlib.sha256(text.encode()).hexdigest()[:10]


# Each kind of row's keys, required and optional; those in LISTS hold lists of strings, the rest
# strings.
ROW_KEYS = {
    "source": ({"pool", "sha256"}, set()),
    "root": ({"release", "arch"}, set()),
    "interpreter": ({"id", "from", "suite"}, {"root", "configure", "proves"}),
    "jobs": ({"development", "thread_sanitizer", "free_threaded_pins"}, set()),
}
LISTS = {"configure", "proves", "free_threaded_pins"}


def _checked(row: object, kind: str, where: str) -> dict:
    required, optional = ROW_KEYS[kind]
    if not isinstance(row, dict):
        raise TableError(f"{where}: a table was expected")
    for key in required - row.keys():
        raise TableError(f"{where}: `{key}` is missing")
    checked = {}
    for key, value in row.items():
        if key not in required | optional:
            raise TableError(f"{where}: unknown key `{key}`")
        if key in LISTS:
            if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
                raise TableError(f"{where}: `{key}` must be a list of strings")
            value = tuple(value)
        elif not isinstance(value, str):
            raise TableError(f"{where}: `{key}` must be a string")
        checked["origin" if key == "from" else key] = value
    return checked


def _problem(interpreter: Interpreter, known: dict[str, Interpreter], roots, sources) -> str | None:
    origin = interpreter.origin
    in_root = origin in ("root", "root-built", "cross-built")
    if interpreter.id in known:
        return "listed twice"
    if not re.fullmatch(r"\d+\.\d+t?(-[a-z0-9]+)*", interpreter.id):
        return "an id is VERSION, then t if free-threaded, then -NAME if needed"
    if origin not in ORIGINS:
        return f"from {origin!r} is not one of {', '.join(ORIGINS)}"
    if interpreter.suite not in SUITES:
        return f"suite {interpreter.suite!r} is not one of {', '.join(SUITES)}"
    if not interpreter.proves or set(interpreter.proves) - {"own", "abi3"}:
        return 'proves is "own", "abi3" or both'
    if interpreter.free_threaded and "abi3" in interpreter.proves:
        return "a free-threaded CPython has no abi3"
    if in_root and not interpreter.root:
        return f"from {origin!r} needs a root"
    if interpreter.root and not in_root and origin != "musl":
        return f"from {origin!r} takes no root"
    if interpreter.root and interpreter.root not in roots:
        return f"no root {interpreter.root}"
    if origin not in ("host", "root") and f"python{interpreter.version}" not in sources:
        return f"no source python{interpreter.version}"
    if interpreter.root and origin in ("cross-built", "musl"):
        builder = known.get(interpreter.builder_id)
        if builder is None or builder.root or builder.origin not in ("built", "musl"):
            return f"no interpreter {interpreter.builder_id} built here to build it"
    return None


def parse(table: dict) -> Matrix:
    for key in table.keys() - ROW_KEYS.keys():
        raise TableError(f"unknown section [{key}]")
    sources = {}
    for name, row in table.get("source", {}).items():
        sources[name] = Source(name, **_checked(row, "source", f"[source.{name}]"))
    roots = {}
    for name, row in table.get("root", {}).items():
        roots[name] = Root(name, **_checked(row, "root", f"[root.{name}]"))
    for root in roots.values():
        if root.arch not in ARCHES:
            arches = ", ".join(ARCHES)
            raise TableError(f"[root.{root.name}]: arch {root.arch!r} is not one of {arches}")
    interpreters: dict[str, Interpreter] = {}
    for index, row in enumerate(table.get("interpreter", [])):
        named = isinstance(row, dict) and "id" in row
        where = f"interpreter {row['id'] if named else f'#{index + 1}'}"
        interpreter = Interpreter(**_checked(row, "interpreter", where))
        problem = _problem(interpreter, interpreters, roots, sources)
        if problem:
            raise TableError(f"{where}: {problem}")
        interpreters[interpreter.id] = interpreter
    for version in sorted({interpreter.version for interpreter in interpreters.values()}):
        count = sum(i.version == version and i.suite == "all" for i in interpreters.values())
        if count != 1:
            message = f'one interpreter runs the suite "all", not {count}'
            raise TableError(f"CPython {version}: {message}")
    jobs = _checked(table.get("jobs"), "jobs", "[jobs]")
    chosen = {"free_threaded_pins": jobs["free_threaded_pins"]}
    for key in ("development", "thread_sanitizer"):
        if jobs[key] not in interpreters:
            raise TableError(f"[jobs]: {key}: no interpreter {jobs[key]}")
        chosen[key] = interpreters[jobs[key]]
    return Matrix(sources, roots, interpreters, **chosen)


def load(path: Path = TABLE) -> Matrix:
    with open(path, "rb") as file:
        try:
            return parse(tomllib.load(file))
        except TableError as error:
            raise SystemExit(f"{path.name}: {error}") from None
