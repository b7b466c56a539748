"""Where interpreters come from and where they run: this machine, or a Debian root entered with bubblewrap.
Each interpreter or root is made once into the cache folder, under a lock, and renamed into place or
stamped when complete, so an interrupted build is redone rather than half used."""

import contextlib
import fcntl
import hashlib
import os
import shutil
import subprocess
import tempfile
import urllib.request
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path

from .jobs import Job, Stopped
from .matrix import ARCHES, CHECKOUT, Interpreter, Matrix, Root

CACHE = Path(os.environ.get("VELLORA_CACHE", "/var/cache/vellora"))
PROBE, BUILD_SCRIPT = CHECKOUT / "scripts/probe.py", CHECKOUT / "scripts/build_cpython.sh"
# The development venv, whose tools (pip, zig, CMake) every job uses.
VENV = Path(os.environ.get("VELLORA_VENV", CHECKOUT / ".venv"))
PYTHON = VENV / "bin/python"
SYSTEM_LOCK = Path(tempfile.gettempdir()) / "vellora-system.lock"
# The libraries a CPython build links, by their Debian -dev packages.
CPYTHON_LIBRARIES = ["libc6-dev", "libssl-dev", "zlib1g-dev", "libffi-dev", "libbz2-dev", "liblzma-dev",
                     "libsqlite3-dev", "uuid-dev"]
# Extension modules no job's tests import, left out of the CPythons built here to save their build.
CPYTHON_UNUSED_MODULES = ["_tkinter", "_curses", "_curses_panel", "_dbm", "_gdbm", "readline", "_ctypes_test",
                          "xxlimited", "xxlimited_35", "_xxtestfuzz", "xxsubtype", "_testbuffer", "_testcapi",
                          "_testclinic", "_testclinic_limited", "_testexternalinspection", "_testimportmultiple",
                          "_testinternalcapi", "_testlimitedcapi", "_testmultiphase", "_testsinglephase"]
CHECKOUT_INSIDE = "/repo"  # where a root sees the checkout


@contextlib.contextmanager
def locked(job: Job, path: Path) -> Iterator[None]:
    """One maker at a time, across runs; the wait polls, so that a run being stopped stops waiting."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w") as lock:
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if job.runner.stopping.wait(1.0):
                    raise Stopped() from None
        yield


def apt_install(job: Job, packages: Sequence[str]) -> None:
    with locked(job, SYSTEM_LOCK):
        missing = [name for name in dict.fromkeys(packages)
                   if subprocess.run(["dpkg", "-s", name], capture_output=True).returncode != 0]
        if missing:
            sudo = [] if os.geteuid() == 0 else ["sudo"]
            job.run([*sudo, "apt-get", "update", "-qq"])
            job.run([*sudo, "env", "DEBIAN_FRONTEND=noninteractive", "apt-get", "install", "-y", "-qq", *missing])


def enable_emulation(job: Job, emulators: Sequence[str]) -> None:
    # The F flag has the kernel open the emulator at once, so that a root does not need to hold it.
    registry = Path("/proc/sys/fs/binfmt_misc")
    with locked(job, SYSTEM_LOCK):
        if emulators and not (registry / "register").exists():
            job.run(["mount", "-t", "binfmt_misc", "binfmt_misc", registry])
        for emulator in emulators:
            entry = registry / f"qemu-{emulator}"
            if not entry.exists():
                (registry / "register").write_text(Path(f"/usr/lib/binfmt.d/qemu-{emulator}.conf").read_text())
            if "F" not in next(line for line in entry.read_text().splitlines() if line.startswith("flags:")):
                raise RuntimeError(f"binfmt_misc runs {emulator} programs without the F flag; "
                                   "a root cannot find qemu")


def debian_mirror(job: Job) -> str:
    for line in job.run(["apt-get", "indextargets", "--format", "$(REPO_URI) $(RELEASE)"], capture=True).splitlines():
        uri, _, release = line.partition(" ")
        if "-" not in release and uri.rstrip("/").endswith("/debian"):
            return uri.rstrip("/")
    raise RuntimeError("apt here names no Debian archive")


def fetch(job: Job, matrix: Matrix, name: str) -> Path:
    source = matrix.sources[name]
    path = CACHE / "sources" / Path(source.pool).name
    path.parent.mkdir(parents=True, exist_ok=True)
    if not path.exists():
        job.write(f"fetching {path.name} from Debian's pool\n")
        # Fetches side by side each write a file of their own, renamed whole.
        with tempfile.NamedTemporaryFile(dir=path.parent, prefix=f"{path.name}.part.", delete=False) as part:
            with urllib.request.urlopen(f"{debian_mirror(job)}/pool/{source.pool}") as response:
                shutil.copyfileobj(response, part)
        os.replace(part.name, path)
    if hashlib.sha256(path.read_bytes()).hexdigest() != source.sha256:
        path.unlink()
        raise RuntimeError(f"{path.name} does not match its SHA-256")
    return path


@dataclass(frozen=True)
class Place:
    """This machine (`root` None), or a Debian root with the checkout at /repo."""
    root: Path | None = None
    path: str = "/usr/bin:/bin"
    emulator_cpu: str | None = None

    def inside(self, host_path: Path | str) -> str:
        host_path = Path(host_path)
        if self.root is None:
            return str(host_path)
        if host_path.is_relative_to(CHECKOUT):
            return f"{CHECKOUT_INSIDE}/{host_path.relative_to(CHECKOUT)}"
        return f"/{host_path.relative_to(self.root)}"

    def host(self, inside_path: str) -> Path:
        if self.root is None:
            return Path(inside_path)
        if Path(inside_path).is_relative_to(CHECKOUT_INSIDE):
            return CHECKOUT / Path(inside_path).relative_to(CHECKOUT_INSIDE)
        return self.root / inside_path.lstrip("/")

    def run(self, job: Job, argv: Sequence[str | os.PathLike[str]], *, cwd: str | None = None,
            env: dict[str, str] | None = None, **options) -> str:
        if self.root is None:
            return job.run(argv, cwd=cwd, env={**os.environ, **(env or {})}, **options)
        # bubblewrap enters the root in namespaces of its own, so its mounts go with the command however it ends.
        settings = {"HOME": "/root", "PATH": self.path, "LANG": "C.UTF-8", **(env or {}),
                    **({"QEMU_CPU": self.emulator_cpu} if self.emulator_cpu else {})}
        return job.run(["bwrap", "--bind", self.root, "/", "--proc", "/proc", "--dev-bind", "/dev", "/dev", "--bind",
                        CHECKOUT, CHECKOUT_INSIDE, "--clearenv", *(["--chdir", cwd] if cwd else []),
                        *(part for name, value in settings.items() for part in ("--setenv", name, value)), *argv],
                       **options)


@dataclass(frozen=True)
class Made:
    interpreter: Interpreter
    place: Place
    python: str

    def probe(self, job: Job, *args: str, python: str | None = None) -> list[str]:
        return self.place.run(job, [python or self.python, self.place.inside(PROBE), *args],
                              capture=True).splitlines()


def root_packages(matrix: Matrix, root: Root) -> list[str]:
    packages = ["?essential"]  # what a Debian system is never without: a shell, coreutils, tar
    for interpreter in matrix.interpreters.values():
        if interpreter.root != root.name:
            continue
        if interpreter.origin == "root":
            packages += [f"python{interpreter.version}", f"python{interpreter.version}-venv",
                         f"python{interpreter.version}-dev"]
        elif interpreter.origin == "musl":  # built here with its libraries; Debian's musl loads it
            packages.append("musl")
        elif interpreter.origin == "root-built":
            packages += ["build-essential", "pkg-config", *CPYTHON_LIBRARIES, "mawk", "xz-utils"]
        else:  # built here with the root as its sysroot
            packages += CPYTHON_LIBRARIES
    return [*dict.fromkeys(packages)]


def root_folder(matrix: Matrix, root: Root) -> Path:
    # The CPythons built into it are part of its recipe, so that a changed build makes a new root.
    built = [(i.id, i.origin, cpython_flags(i), BUILD_SCRIPT.read_text()) for i in matrix.interpreters.values()
             if i.root == root.name and i.origin != "root"]
    recipe = matrix.recipe(root, root_packages(matrix, root), built)
    return CACHE / "roots" / f"{root.name}-{recipe}"


def root_place(matrix: Matrix, interpreter: Interpreter) -> Place:
    root = matrix.roots[interpreter.root]
    prefix = [f"{interpreter.prefix}/bin"] if interpreter.origin != "root" else []
    return Place(root_folder(matrix, root), ":".join([*prefix, "/usr/bin", "/bin"]), ARCHES[root.arch].qemu_cpu)


def make_root(job: Job, matrix: Matrix, root: Root) -> Path:
    """A root: the release's packages for its machine downloaded by apt and unpacked over a merged /usr by
    mmdebstrap, with no maintainer script run (under emulation those took half an hour)."""
    system = root_folder(matrix, root)
    if system.exists():
        return system
    with locked(job, system.with_name(system.name + ".lock")):
        if system.exists():
            return system
        building = system.with_name(system.name + ".building")
        shutil.rmtree(building, ignore_errors=True)
        keyring = "/usr/share/keyrings/debian-archive-keyring.gpg"
        # The archive's Release files for old and unstable releases may have passed their Valid-Until date.
        job.run(["mmdebstrap", "--variant=extract", f"--architectures={root.arch}",
                 "--hook-dir=/usr/share/mmdebstrap/hooks/merged-usr", "--aptopt=Acquire::Check-Valid-Until false",
                 *(f"--include={name}" for name in root_packages(matrix, root)), root.release, building,
                 f"deb [signed-by={keyring}] {debian_mirror(job)} {root.release} main"])
        settle(building)
        building.rename(system)
    return system


def settle(root: Path) -> None:
    """What the maintainer scripts would have done that the interpreters need: users and the
    alternatives' links."""
    for name in ("passwd", "group"):
        shutil.copy(root / f"usr/share/base-passwd/{name}.master", root / "etc" / name)
    for link, target in (("sh", "dash"), ("awk", "mawk"), ("cc", "gcc"), ("c++", "g++")):  # update-alternatives'
        if (root / "usr/bin" / target).exists() and not (root / "usr/bin" / link).exists():
            (root / "usr/bin" / link).symlink_to(target)


def cpython_flags(interpreter: Interpreter) -> list[str]:
    # No test modules, no pip (venvs bring their own), none of the modules no test imports, and no
    # debugging information (a fifth of the compile).
    return ["--disable-test-modules", "--without-ensurepip", "OPT=-DNDEBUG -O2",
            *(["--disable-gil"] if interpreter.free_threaded else []),
            *interpreter.configure, *(f"py_cv_module_{name}=n/a" for name in CPYTHON_UNUSED_MODULES)]


def make(job: Job, matrix: Matrix, interpreter: Interpreter) -> Made:
    if interpreter.origin == "host":
        return Made(interpreter, Place(), find_host_python(interpreter))
    if interpreter.origin == "root":
        make_root(job, matrix, matrix.roots[interpreter.root])
        return Made(interpreter, root_place(matrix, interpreter), f"python{interpreter.base_id}")
    return build(job, matrix, interpreter)


def build(job: Job, matrix: Matrix, interpreter: Interpreter) -> Made:
    """A CPython built from its source: for this machine into the cache; inside its root, by the root's
    compiler; or here for a root's machine into the root, with the root as its sysroot (or zig's musl), by
    the interpreter of its version built here. Checked, then stamped complete."""
    tarball, arch = fetch(job, matrix, f"python{interpreter.version}"), matrix.arch(interpreter)
    flags = cpython_flags(interpreter)
    if interpreter.root:
        system, prefix = make_root(job, matrix, matrix.roots[interpreter.root]), interpreter.prefix
        made = Made(interpreter, root_place(matrix, interpreter), f"python{interpreter.base_id}")
        lock = system.with_name(f"{system.name}-{interpreter.id}.lock")
    else:
        prefix = CACHE / f"{interpreter.id}-{matrix.recipe(tarball.name, flags, BUILD_SCRIPT.read_text())}"
        made = Made(interpreter, Place(), str(prefix / "bin" / f"python{interpreter.base_id}"))
        lock = prefix.with_name(prefix.name + ".lock")
    with locked(job, lock):
        stamp = made.place.host(f"{prefix}/.complete")
        if stamp.exists():
            return made
        env, place = musl_settings(job, matrix, interpreter), Place()
        if interpreter.origin == "root-built":  # inside the root, by its compiler, against its libraries
            place, env = made.place, {"CC": "gcc"}
            tarball = Path(shutil.copy(tarball, CHECKOUT / "build"))  # which the root sees
        elif interpreter.root:
            builder = make(job, matrix, matrix.interpreters[interpreter.builder_id])
            env["DESTDIR"] = str(system)
            if interpreter.origin == "musl":
                flags.append(f"--host={arch.machine}-linux-musl")
            else:  # the root's libraries, found through its pkg-config files and nowhere on this machine
                env.update(PKG_CONFIG_LIBDIR=f"{system}/usr/lib/{arch.triplet}/pkgconfig:{system}/usr/share/pkgconfig",
                           PKG_CONFIG_SYSROOT_DIR=str(system))
                flags += [f"--host={arch.triplet}", f"CC={arch.triplet}-gcc --sysroot={system}",
                          f"CXX={arch.triplet}-g++ --sysroot={system}"]
            # What configure cannot find out without running the target's programs, last.
            flags += ["--build=x86_64-linux-gnu", f"--with-build-python={builder.python}", "ac_cv_file__dev_ptmx=yes",
                      "ac_cv_file__dev_ptc=no", "ac_cv_buggy_getaddrinfo=no"]
        place.run(job, ["bash", place.inside(BUILD_SCRIPT), place.inside(tarball), prefix, *flags], env=env)
        made.probe(job, "modules", str(interpreter.free_threaded))
        stamp.touch()
    return made


def musl_settings(job: Job, matrix: Matrix, interpreter: Interpreter) -> dict[str, str]:
    """What the build script takes for musl: the machine, its libraries' sources, and for another machine
    zig's clang, which brings musl for every machine."""
    if interpreter.origin != "musl":
        return {}
    settings = {"MUSL": matrix.arch(interpreter).machine,
                "MUSL_SOURCES": " ".join(str(fetch(job, matrix, name)) for name in ("zlib", "libffi", "sqlite"))}
    if interpreter.root:
        settings.update(ZIG=str(cached_zig(job)), ZIG_GLOBAL_CACHE_DIR=str(CACHE / "zig"))
    return settings


def cached_zig(job: Job) -> Path:
    # zig keys the libc++ builds it keeps (minutes each) by where it lives, which a new clone's venv changes.
    version, = {path.stem.split("-")[1] for path in VENV.glob("lib/python3*/site-packages/ziglang-*.dist-info")}
    home = CACHE / f"ziglang-{version}"
    with locked(job, CACHE / f"ziglang-{version}.lock"):
        if not (home / ".complete").exists():
            shutil.rmtree(home, ignore_errors=True)
            job.run([PYTHON, "-m", "pip", "install", "-q", "--no-deps", "--target", home, f"ziglang=={version}"])
            (home / ".complete").touch()
    return home / "ziglang" / "zig"


def find_host_python(interpreter: Interpreter) -> str:
    name = f"python{interpreter.base_id}"
    pyenv = subprocess.run(["pyenv", "prefix", interpreter.version], capture_output=True, text=True) \
        if shutil.which("pyenv") else None
    for candidate in (os.environ.get("PYTHON"), name, pyenv and f"{pyenv.stdout.strip()}/bin/{name}"):
        found = candidate and shutil.which(candidate)
        version = found and subprocess.run([found, "--version"], capture_output=True, text=True).stdout
        if version and version.startswith(f"Python {interpreter.version}."):
            return found
    raise SystemExit(f"CPython {interpreter.version} not found; set PYTHON=/path/to/{name}")
