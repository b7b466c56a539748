"""Where interpreters come from and where they run: this machine, or a Debian root entered with
bubblewrap. Each interpreter or root is made once into the cache folder, under a lock, and renamed
into place or stamped when complete, so an interrupted build is redone rather than half used."""

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
PROBE = CHECKOUT / "scripts/probe.py"
BUILD_SCRIPT = CHECKOUT / "scripts/build_cpython.sh"
# The development venv, whose tools (pip, zig, CMake) every job uses.
VENV = Path(os.environ.get("VELLORA_VENV", CHECKOUT / ".venv"))
PYTHON = VENV / "bin/python"
PIP_INSTALL = [PYTHON, "-m", "pip", "install", "-q"]
SYSTEM_LOCK = Path(tempfile.gettempdir()) / "vellora-system.lock"
# The libraries a CPython build links, by their Debian -dev packages.
CPYTHON_LIBRARIES = """libc6-dev libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
    libsqlite3-dev uuid-dev""".split()
# Extension modules no job's tests import, left out of the CPythons built here to save their build.
CPYTHON_UNUSED_MODULES = """_tkinter _curses _curses_panel _dbm _gdbm readline _ctypes_test
    xxlimited xxlimited_35 _xxtestfuzz xxsubtype _testbuffer _testcapi _testclinic
    _testclinic_limited _testexternalinspection _testimportmultiple _testinternalcapi
    _testlimitedcapi _testmultiphase _testsinglephase""".split()
CHECKOUT_INSIDE = "/repo"  # where a root sees the checkout


@contextlib.contextmanager
def locked(job: Job, path: Path) -> Iterator[None]:
    """One maker at a time, across runs; the wait polls, so that a stopped run stops waiting."""
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


def set_up(job: Job, packages: Sequence[str], emulators: Sequence[str]) -> None:
    """What the machine shares: the Debian packages the jobs need, and qemu's registrations with
    binfmt_misc, with the F flag, which has the kernel open the emulator at once, so that a root
    does not need to hold it."""
    registry = Path("/proc/sys/fs/binfmt_misc")
    with locked(job, SYSTEM_LOCK):
        missing = []
        for name in dict.fromkeys(packages):
            if subprocess.run(["dpkg", "-s", name], capture_output=True).returncode != 0:
                missing.append(name)
        if missing:
            sudo = [] if os.geteuid() == 0 else ["sudo"]
            job.run([*sudo, "apt-get", "update", "-qq"])
            install = ["env", "DEBIAN_FRONTEND=noninteractive", "apt-get", "install", "-y", "-qq"]
            job.run([*sudo, *install, *missing])
        if emulators and not (registry / "register").exists():
            job.run(["mount", "-t", "binfmt_misc", "binfmt_misc", registry])
        for emulator in emulators:
            entry = registry / f"qemu-{emulator}"
            if not entry.exists():
                rule = Path(f"/usr/lib/binfmt.d/qemu-{emulator}.conf").read_text()
                (registry / "register").write_text(rule)
            lines = entry.read_text().splitlines()
            if "F" not in next(line for line in lines if line.startswith("flags:")):
                problem = f"binfmt_misc runs {emulator} programs without the F flag"
                raise RuntimeError(f"{problem}; a root cannot find qemu")


def debian_mirror(job: Job) -> str:
    query = ["apt-get", "indextargets", "--format", "$(REPO_URI) $(RELEASE)"]
    for line in job.run(query, capture=True).splitlines():
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
        part = tempfile.NamedTemporaryFile(
            dir=path.parent, prefix=path.name + ".part.", delete=False
        )
        with part, urllib.request.urlopen(f"{debian_mirror(job)}/pool/{source.pool}") as response:
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

    def run(self, job: Job, argv: Sequence, *, cwd: str | None = None, env=None, **options) -> str:
        if self.root is None:
            return job.run(argv, cwd=cwd, env={**os.environ, **(env or {})}, **options)
        # bubblewrap enters the root in namespaces of its own, so its mounts go with the command
        # however it ends.
        bwrap = ["bwrap", "--bind", self.root, "/", "--proc", "/proc", "--dev-bind", "/dev", "/dev"]
        bwrap += ["--bind", CHECKOUT, CHECKOUT_INSIDE, "--clearenv"]
        if cwd:
            bwrap += ["--chdir", cwd]
        settings = {"HOME": "/root", "PATH": self.path, "LANG": "C.UTF-8", **(env or {})}
        if self.emulator_cpu:
            settings["QEMU_CPU"] = self.emulator_cpu
        for name, value in settings.items():
            bwrap += ["--setenv", name, value]
        return job.run([*bwrap, *argv], **options)


@dataclass(frozen=True)
class Made:
    interpreter: Interpreter
    place: Place
    python: str

    def probe(self, job: Job, *args: str, python: str | None = None) -> list[str]:
        argv = [python or self.python, self.place.inside(PROBE), *args]
        return self.place.run(job, argv, capture=True).splitlines()


def root_packages(matrix: Matrix, root: Root) -> list[str]:
    packages = ["?essential"]  # what a Debian system is never without: a shell, coreutils, tar
    for interpreter in matrix.interpreters.values():
        python = f"python{interpreter.version}"
        if interpreter.root != root.name:
            continue
        if interpreter.origin == "root":
            packages += [python, f"{python}-venv", f"{python}-dev"]
        elif interpreter.origin == "musl":  # built here with its libraries; Debian's musl loads it
            packages.append("musl")
        elif interpreter.origin == "root-built":
            packages += ["build-essential", "pkg-config", *CPYTHON_LIBRARIES, "mawk", "xz-utils"]
        else:  # built here with the root as its sysroot
            packages += CPYTHON_LIBRARIES
    return [*dict.fromkeys(packages)]


def root_folder(matrix: Matrix, root: Root) -> Path:
    # The CPythons built into it are part of its recipe, so that a changed build makes a new root.
    built = []
    for interpreter in matrix.interpreters.values():
        if interpreter.root == root.name and interpreter.origin != "root":
            flags = cpython_flags(interpreter)
            built.append((interpreter.id, interpreter.origin, flags, BUILD_SCRIPT.read_text()))
    recipe = matrix.recipe(root, root_packages(matrix, root), built)
    return CACHE / "roots" / f"{root.name}-{recipe}"


def cpython_folder(matrix: Matrix, interpreter: Interpreter) -> Path:
    tarball = Path(matrix.sources[f"python{interpreter.version}"].pool).name
    recipe = matrix.recipe(tarball, cpython_flags(interpreter), BUILD_SCRIPT.read_text())
    return CACHE / f"{interpreter.id}-{recipe}"


def make_root(job: Job, matrix: Matrix, root: Root) -> Path:
    """A root: the release's packages for its machine downloaded by apt and unpacked over a merged
    /usr by mmdebstrap, with no maintainer script run (under emulation those took half an hour)."""
    system = root_folder(matrix, root)
    if system.exists():
        return system
    with locked(job, system.with_name(system.name + ".lock")):
        if system.exists():
            return system
        building = system.with_name(system.name + ".building")
        shutil.rmtree(building, ignore_errors=True)
        hooks = "--hook-dir=/usr/share/mmdebstrap/hooks/merged-usr"
        # The archive's Release files for old and unstable releases may have passed their
        # Valid-Until date.
        stale = "--aptopt=Acquire::Check-Valid-Until false"
        extract = ["mmdebstrap", "--variant=extract", f"--architectures={root.arch}", hooks, stale]
        packages = [f"--include={name}" for name in root_packages(matrix, root)]
        keyring = "/usr/share/keyrings/debian-archive-keyring.gpg"
        mirror = f"deb [signed-by={keyring}] {debian_mirror(job)} {root.release} main"
        job.run([*extract, *packages, root.release, building, mirror])
        # What the maintainer scripts would have done that the interpreters need: users, and
        # update-alternatives' links.
        for name in ("passwd", "group"):
            shutil.copy(building / f"usr/share/base-passwd/{name}.master", building / "etc" / name)
        usr_bin = building / "usr/bin"
        for link, target in (("sh", "dash"), ("awk", "mawk"), ("cc", "gcc"), ("c++", "g++")):
            if (usr_bin / target).exists() and not (usr_bin / link).exists():
                (usr_bin / link).symlink_to(target)
        building.rename(system)
    return system


def cpython_flags(interpreter: Interpreter) -> list[str]:
    # No test modules, no pip (venvs bring their own), none of the modules no test imports, and no
    # debugging information (a fifth of the compile).
    flags = ["--disable-test-modules", "--without-ensurepip", "OPT=-DNDEBUG -O2"]
    if interpreter.free_threaded:
        flags.append("--disable-gil")
    flags += interpreter.configure
    return flags + [f"py_cv_module_{name}=n/a" for name in CPYTHON_UNUSED_MODULES]


def make(job: Job, matrix: Matrix, interpreter: Interpreter) -> Made:
    if interpreter.origin == "host":
        return Made(interpreter, Place(), find_host_python(interpreter))
    if interpreter.origin == "root":
        make_root(job, matrix, matrix.roots[interpreter.root])
        return Made(interpreter, root_place(matrix, interpreter), f"python{interpreter.base_id}")
    return build(job, matrix, interpreter)


def root_place(matrix: Matrix, interpreter: Interpreter) -> Place:
    root = matrix.roots[interpreter.root]
    path = "/usr/bin:/bin"
    if interpreter.origin != "root":
        path = f"{interpreter.prefix}/bin:{path}"
    return Place(root_folder(matrix, root), path, ARCHES[root.arch].qemu_cpu)


def build(job: Job, matrix: Matrix, interpreter: Interpreter) -> Made:
    """A CPython built from its source: for this machine into the cache; inside its root, by the
    root's compiler; or here for a root's machine into the root, with the root as its sysroot (or
    zig's musl), by the interpreter of its version built here. Checked, then stamped complete."""
    tarball = fetch(job, matrix, f"python{interpreter.version}")
    arch = matrix.arch(interpreter)
    flags = cpython_flags(interpreter)
    if interpreter.root:
        system = make_root(job, matrix, matrix.roots[interpreter.root])
        prefix = interpreter.prefix
        made = Made(interpreter, root_place(matrix, interpreter), f"python{interpreter.base_id}")
        lock = system.with_name(f"{system.name}-{interpreter.id}.lock")
    else:
        prefix = cpython_folder(matrix, interpreter)
        made = Made(interpreter, Place(), str(prefix / "bin" / f"python{interpreter.base_id}"))
        lock = prefix.with_name(prefix.name + ".lock")
    with locked(job, lock):
        stamp = made.place.host(f"{prefix}/.complete")
        if stamp.exists():
            return made
        place = Place()
        env = {}
        # The build script's musl: the machine, its libraries' sources, and for another machine
        # zig's clang, which brings musl for every machine.
        if interpreter.origin == "musl":
            sources = [str(fetch(job, matrix, name)) for name in ("zlib", "libffi", "sqlite")]
            env.update(MUSL=arch.machine, MUSL_SOURCES=" ".join(sources))
            if interpreter.root:
                env.update(ZIG=str(cached_zig(job)), ZIG_GLOBAL_CACHE_DIR=str(CACHE / "zig"))
        # Inside the root, by its compiler, against its libraries.
        if interpreter.origin == "root-built":
            place = made.place
            env = {"CC": "gcc"}
            tarball = Path(shutil.copy(tarball, CHECKOUT / "build"))  # which the root sees
        elif interpreter.root:
            builder = make(job, matrix, matrix.interpreters[interpreter.builder_id])
            env["DESTDIR"] = str(system)
            if interpreter.origin == "musl":
                flags.append(f"--host={arch.machine}-linux-musl")
            else:  # the root's libraries, through its pkg-config files and nowhere on this machine
                libdir = f"{system}/usr/lib/{arch.triplet}/pkgconfig:{system}/usr/share/pkgconfig"
                env.update(PKG_CONFIG_LIBDIR=libdir, PKG_CONFIG_SYSROOT_DIR=str(system))
                flags.append(f"--host={arch.triplet}")
                flags.append(f"CC={arch.triplet}-gcc --sysroot={system}")
                flags.append(f"CXX={arch.triplet}-g++ --sysroot={system}")
            # What configure cannot find out without running the target's programs, last.
            flags += ["--build=x86_64-linux-gnu", f"--with-build-python={builder.python}"]
            flags += ["ac_cv_file__dev_ptmx=yes", "ac_cv_file__dev_ptc=no"]
            flags.append("ac_cv_buggy_getaddrinfo=no")
        script = [place.inside(BUILD_SCRIPT), place.inside(tarball), prefix]
        place.run(job, ["bash", *script, *flags], env=env)
        made.probe(job, "modules", str(interpreter.free_threaded))
        stamp.touch()
    return made


def cached_zig(job: Job) -> Path:
    # zig keys the libc++ builds it keeps (minutes each) by where it lives, which a new clone's venv
    # changes.
    infos = VENV.glob("lib/python3*/site-packages/ziglang-*.dist-info")
    (version,) = {path.stem.split("-")[1] for path in infos}
    home = CACHE / f"ziglang-{version}"
    with locked(job, CACHE / f"ziglang-{version}.lock"):
        if not (home / ".complete").exists():
            shutil.rmtree(home, ignore_errors=True)
            job.run([*PIP_INSTALL, "--no-deps", "--target", home, f"ziglang=={version}"])
            (home / ".complete").touch()
    return home / "ziglang" / "zig"


def find_host_python(interpreter: Interpreter) -> str:
    name = f"python{interpreter.base_id}"
    candidates = [os.environ.get("PYTHON"), name]
    if shutil.which("pyenv"):
        query = ["pyenv", "prefix", interpreter.version]
        pyenv = subprocess.run(query, capture_output=True, text=True).stdout.strip()
        candidates.append(f"{pyenv}/bin/{name}")
    for candidate in candidates:
        found = candidate and shutil.which(candidate)
        if found:
            version = subprocess.run([found, "--version"], capture_output=True, text=True).stdout
            if version.startswith(f"Python {interpreter.version}."):
                return found
    raise SystemExit(f"CPython {interpreter.version} not found; set PYTHON=/path/to/{name}")
