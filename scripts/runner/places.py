"""Where interpreters come from and where they run: this machine, or a Debian root entered with
chroot. Each interpreter or root is made once into the cache folder, under a lock, and stamped
when complete, so an interrupted build is redone rather than half used."""

from __future__ import annotations

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
from .matrix import CHECKOUT, Interpreter, Matrix, Root, Source

CACHE = Path(os.environ.get("VELLORA_CACHE", "/var/cache/vellora"))
MIRROR = os.environ.get("VELLORA_DEBIAN_MIRROR", "http://deb.debian.org/debian")
SCRIPTS = CHECKOUT / "scripts"
# What building CPython from source needs from apt.
CPYTHON_BUILD_PACKAGES = ["build-essential", "curl", "xz-utils", "pkg-config", "libssl-dev", "zlib1g-dev",
                          "libffi-dev", "libbz2-dev", "liblzma-dev", "libsqlite3-dev", "libreadline-dev", "uuid-dev"]
# What a CPython built against musl needs (SQLite's build runs tclsh).
MUSL_BUILD_PACKAGES = ["musl", "musl-dev", "musl-tools", "curl", "tcl"]
# Inside a root the checkout is here.
CHECKOUT_INSIDE = "/repo"


@contextlib.contextmanager
def locked(job: Job, path: Path) -> Iterator[None]:
    """One maker at a time: the runs of CI and of a developer on one machine share the cache. The
    wait polls, so that a run being stopped does not wait for another run's build."""
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
    """Installs the Debian packages that are missing (as root, or through sudo)."""
    missing = [name for name in packages
               if subprocess.run(["dpkg", "-s", name], capture_output=True).returncode != 0]
    if not missing:
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    with locked(job, Path(tempfile.gettempdir()) / "vellora-apt.lock"):
        job.note(f"apt-get install {' '.join(missing)}")
        job.run([*sudo, "apt-get", "update", "-qq"])
        job.run([*sudo, "env", "DEBIAN_FRONTEND=noninteractive", "apt-get", "install", "-y", "-qq", *missing])


def cpython_tarball(job: Job, source: Source) -> Path:
    """The checked source tarball of a CPython, fetched once into the cache."""
    name = f"python{source.minor}_{source.version}.orig.tar.xz"
    path = CACHE / "sources" / name
    path.parent.mkdir(parents=True, exist_ok=True)
    if not path.exists():
        job.note(f"fetching {name} from Debian's pool")
        # Fetches side by side each write a file of their own, renamed whole.
        with tempfile.NamedTemporaryFile(dir=path.parent, prefix=f"{name}.part.", delete=False) as part:
            with urllib.request.urlopen(f"{MIRROR}/pool/main/p/python{source.minor}/{name}") as response:
                shutil.copyfileobj(response, part)
        os.chmod(part.name, 0o644)
        os.replace(part.name, path)
    digest = hashlib.sha256(path.read_bytes()).hexdigest()
    if digest != source.sha256:
        path.unlink()
        raise RuntimeError(f"{name} does not match its SHA-256")
    return path


# Enters a root in a mount namespace of its own, so /proc, /dev and the bind mounts go with it
# whatever happens. Arguments: the root, then HOST:INSIDE binds, then --, then the command.
ENTER_ROOT = r'''
root=$1; shift
mount --make-rprivate /
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
while [ "$1" != -- ]; do
  mkdir -p "$root/${1#*:}"
  mount --bind "${1%%:*}" "$root/${1#*:}"
  shift
done
shift
exec chroot "$root" "$@"
'''


@dataclass(frozen=True)
class Place:
    """This machine (`root` None), or a Debian root with the checkout at /repo."""

    root: Path | None = None
    path: str = "/usr/bin:/bin"

    def inside(self, host_path: Path | str) -> str:
        """A host path under the checkout or the root, as a command run here sees it."""
        host_path = Path(host_path)
        if self.root is None:
            return str(host_path)
        if host_path.is_relative_to(CHECKOUT):
            return f"{CHECKOUT_INSIDE}/{host_path.relative_to(CHECKOUT)}"
        return f"/{host_path.relative_to(self.root)}"

    def host(self, inside_path: str) -> Path:
        """A path as a command run here sees it, from this machine."""
        if self.root is None:
            return Path(inside_path)
        if inside_path == CHECKOUT_INSIDE or inside_path.startswith(f"{CHECKOUT_INSIDE}/"):
            return CHECKOUT / inside_path.removeprefix(CHECKOUT_INSIDE).lstrip("/")
        return self.root / inside_path.lstrip("/")

    def run(self, job: Job, argv: Sequence[str | os.PathLike[str]], *, cwd: str | None = None,
            env: dict[str, str] | None = None, drop: Sequence[str] = (), **options) -> str:
        """Runs argv here: with `env` added to the environment (or, in a root, a clean one) and
        the variables in `drop` taken out."""
        if self.root is None:
            environment = {**os.environ, **(env or {})}
            for name in drop:
                environment.pop(name, None)
            return job.run(argv, cwd=cwd, env=environment, **options)
        settings = [f"{name}={value}" for name, value in (env or {}).items()]
        chdir = ["-C", cwd] if cwd else []
        inside = ["/usr/bin/env", "-i", *chdir, "HOME=/root", f"PATH={self.path}", "LANG=C.UTF-8", *settings,
                  *map(str, argv)]
        return job.run(["unshare", "--mount", "--fork", "sh", "-ec", ENTER_ROOT, "enter-root", self.root,
                        f"{CHECKOUT}:{CHECKOUT_INSIDE}", "--", *inside],
                       shown=f"[in {self.root.name}] {' '.join(inside)}", **options)


@dataclass(frozen=True)
class Made:
    """An interpreter ready to run: where, and its command there."""

    interpreter: Interpreter
    place: Place
    python: str

    def query(self, job: Job, expression: str, python: str | None = None) -> str:
        """What an expression prints, run by this interpreter (or `python`, a venv of it) where it runs."""
        return self.place.run(job, [python or self.python, "-c", f"print({expression})"], capture=True).strip()


def enable_emulation(job: Job) -> None:
    """qemu-user runs an arm64 root's programs, registered with binfmt_misc's F flag so that the
    emulator is found from inside a chroot."""
    apt_install(job, ["qemu-user-static", "binfmt-support"])
    registry = Path("/proc/sys/fs/binfmt_misc")
    if not (registry / "register").exists():
        job.run(["mount", "-t", "binfmt_misc", "binfmt_misc", registry])
    if not (registry / "qemu-aarch64").exists():
        job.run(["update-binfmts", "--enable", "qemu-aarch64"])
    flags = [line for line in (registry / "qemu-aarch64").read_text().splitlines() if line.startswith("flags:")]
    if not flags or "F" not in flags[0]:
        raise RuntimeError("binfmt_misc runs arm64 programs without the F flag; a chroot cannot find the emulator")


def make_root(job: Job, matrix: Matrix, root: Root) -> Path:
    """The root, made by debootstrap the first time; a CPython that the table builds inside it is
    part of its recipe."""
    if root.arch != "amd64":
        enable_emulation(job)
    system = CACHE / root.dir
    ready = system / ".vellora-ready"
    if ready.exists():
        return system
    if os.geteuid() != 0:
        raise RuntimeError("making a Debian root needs root")
    with locked(job, CACHE / f"{root.dir}.lock"):
        if ready.exists():
            return system
        apt_install(job, ["debootstrap"])
        building = CACHE / f"{root.dir}.building"
        shutil.rmtree(building, ignore_errors=True)
        job.note(f"debootstrap {root.suite} ({root.arch}) into {building}")
        job.run(["debootstrap", f"--arch={root.arch}", "--variant=minbase", f"--include={','.join(root.packages)}",
                 root.suite, building, MIRROR])
        # The archive's sid Release file has outlived its Valid-Until date; apt there would refuse it.
        (building / "etc/apt/apt.conf.d/99vellora-no-valid-until").write_text('Acquire::Check-Valid-Until "false";\n')
        place = Place(building)
        trust_host_certificates(job, place)
        for interpreter in matrix.interpreters.values():
            # A cross-built interpreter is installed into the root after it is made.
            if interpreter.root != root.name or interpreter.kind == "cross-built":
                continue
            if interpreter.kind == "root-built":
                build_inside(job, matrix, place, interpreter)
            made = Made(interpreter, Place(building, interpreter_path(interpreter)), interpreter.executable_name)
            made.query(job, "__import__('ssl') and __import__('venv') and __import__('sysconfig').get_config_var('INCLUDEPY')")
        (building / ready.name).touch()
        shutil.rmtree(system, ignore_errors=True)
        building.rename(system)
    return system


def trust_host_certificates(job: Job, place: Place) -> None:
    """The host's extra CA certificates (a proxy's, say), given to a root so that pip there reaches PyPI."""
    extra = Path("/usr/local/share/ca-certificates")
    if not extra.is_dir() or not any(extra.iterdir()):
        return
    shutil.copytree(extra, place.host(str(extra)), dirs_exist_ok=True)
    Place(place.root, "/usr/sbin:/usr/bin:/sbin:/bin").run(job, ["update-ca-certificates"])


def interpreter_path(interpreter: Interpreter) -> str:
    prefix = [f"{interpreter.prefix}/bin"] if interpreter.prefix else []
    return ":".join([*prefix, "/usr/bin", "/bin"])


def build_inside(job: Job, matrix: Matrix, place: Place, interpreter: Interpreter) -> None:
    tarball = cpython_tarball(job, matrix.sources[interpreter.version])
    staged = place.host("/build") / tarball.name
    staged.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(tarball, staged)
    job.note(f"building CPython {interpreter.version} inside the root")
    place.run(job, ["bash", f"{CHECKOUT_INSIDE}/scripts/build_cpython.sh", f"/build/{tarball.name}",
                    interpreter.prefix, *interpreter.configure])
    shutil.rmtree(staged.parent)


def make(job: Job, matrix: Matrix, interpreter: Interpreter) -> Made:
    """The interpreter, made first if it is not in the cache."""
    if interpreter.kind == "host":
        return Made(interpreter, Place(), find_host_python(interpreter))
    if interpreter.kind == "built":
        prefix = CACHE / interpreter.cache
        python = prefix / "bin" / interpreter.executable_name
        if not (prefix / ".complete").exists():
            with locked(job, CACHE / f".{interpreter.cache}.lock"):
                if not (prefix / ".complete").exists():
                    apt_install(job, CPYTHON_BUILD_PACKAGES)
                    tarball = cpython_tarball(job, matrix.sources[interpreter.version])
                    flags = [*(["--disable-gil"] if interpreter.free_threaded else []), *interpreter.configure]
                    job.run(["bash", SCRIPTS / "build_cpython.sh", tarball, prefix, *flags])
        return Made(interpreter, Place(), str(python))
    if interpreter.kind == "cross-built":
        return cross_build(job, matrix, interpreter)
    if interpreter.kind == "musl":
        apt_install(job, MUSL_BUILD_PACKAGES)
        tarball = cpython_tarball(job, matrix.sources[interpreter.version])
        python = job.run(["bash", SCRIPTS / "musl_python.sh", tarball, CACHE / interpreter.cache], capture=True)
        return Made(interpreter, Place(), python.strip())
    if interpreter.kind in ("root", "root-built"):
        system = make_root(job, matrix, matrix.roots[interpreter.root])
        return Made(interpreter, Place(system, interpreter_path(interpreter)), interpreter.executable_name)
    raise SystemExit(f"{interpreter.id}: unknown kind {interpreter.kind}")


def cross_build(job: Job, matrix: Matrix, interpreter: Interpreter) -> Made:
    """A CPython built on this machine for the root's machine, with the root as its sysroot, by the
    native build of the same version, and installed into the root, where it runs under emulation."""
    system = make_root(job, matrix, matrix.roots[interpreter.root])
    place = Place(system, interpreter_path(interpreter))
    made = Made(interpreter, place, interpreter.executable_name)
    stamp = place.host(f"{interpreter.prefix}/.complete")
    if stamp.exists():
        return made
    native = make(job, matrix, matrix.interpreter(interpreter.build_python))
    with locked(job, CACHE / f"{matrix.roots[interpreter.root].dir}-{interpreter.id}.lock"):
        if stamp.exists():
            return made
        apt_install(job, [f"gcc-{interpreter.machine}-linux-gnu", "pkg-config"])
        tarball = cpython_tarball(job, matrix.sources[interpreter.version])
        triplet = f"{interpreter.machine}-linux-gnu"
        # The root's libraries, found through its pkg-config files and nowhere on this machine.
        env = {**os.environ, "DESTDIR": str(system),
               "PKG_CONFIG_LIBDIR": f"{system}/usr/lib/{triplet}/pkgconfig:{system}/usr/share/pkgconfig",
               "PKG_CONFIG_SYSROOT_DIR": str(system)}
        job.run(["bash", SCRIPTS / "build_cpython.sh", tarball, interpreter.prefix,
                 f"--host={triplet}", "--build=x86_64-linux-gnu", f"--with-build-python={native.python}",
                 *(["--disable-gil"] if interpreter.free_threaded else []), *interpreter.configure,
                 f"CC={triplet}-gcc --sysroot={system}", f"CXX={triplet}-g++ --sysroot={system}",
                 # What configure cannot find out without running the target's programs.
                 "ac_cv_file__dev_ptmx=yes", "ac_cv_file__dev_ptc=no", "ac_cv_buggy_getaddrinfo=no"], env=env)
        place.run(job, [made.python, "-c", f"import ssl, venv, sys; assert sys._is_gil_enabled() == {not interpreter.free_threaded}"])
        stamp.touch()
    return made


def find_host_python(interpreter: Interpreter) -> str:
    """$PYTHON, else the version's command on PATH, else pyenv's."""
    candidates = [os.environ.get("PYTHON", ""), shutil.which(interpreter.executable_name) or ""]
    with contextlib.suppress(OSError, subprocess.CalledProcessError):
        prefix = subprocess.run(["pyenv", "prefix", interpreter.version], capture_output=True, text=True,
                                check=True).stdout.strip()
        candidates.append(f"{prefix}/bin/{interpreter.executable_name}")
    wanted = tuple(int(part) for part in interpreter.version.split("."))
    for candidate in filter(None, candidates):
        check = subprocess.run([candidate, "-c", f"import sys; assert sys.version_info[:2] == {wanted}"],
                               capture_output=True)
        if check.returncode == 0:
            return shutil.which(candidate) or candidate
    raise SystemExit(f"CPython {interpreter.version} not found; set PYTHON=/path/to/{interpreter.executable_name}")
