# common.sh: shell functions shared by the project's scripts (sourced, not run).

# Path of a CPython 3.13 interpreter: $PYTHON, else python3.13 on PATH, else pyenv's 3.13.
find_python() {
  local candidate candidates=("${PYTHON:-}" python3.13) prefix
  if command -v pyenv >/dev/null 2>&1 && prefix="$(pyenv prefix 3.13 2>/dev/null)"; then
    candidates+=("$prefix/bin/python3.13")
  fi
  for candidate in "${candidates[@]}"; do
    [ -n "$candidate" ] || continue
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  echo "CPython 3.13 not found; set PYTHON=/path/to/python3.13" >&2
  return 1
}

# The test tools, one requirement per line, as the package's `test` extra lists them.
test_requirements() {  # python, pyproject.toml
  "$1" - "$2" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as project:
    print("\n".join(tomllib.load(project)["project"]["optional-dependencies"]["test"]))
PY
}

# Installs the named Debian packages that are missing. Needs root (or sudo).
apt_install() {
  local missing=() package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  printf '==> apt-get install %s\n' "${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # The project's scripts run side by side; apt takes one at a time.
  (
    flock 8
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  ) 8>"${TMPDIR:-/tmp}/vellora-apt.lock"
}

# Runs a shell command inside a root made by debootstrap, in a mount namespace of its own, so
# /proc, /dev and the bind mounts go away with it whatever happens. Each further argument
# `HOST:INSIDE` binds a host folder into the root (the folder inside is made when missing).
in_root() {  # dir, PATH inside, command, then HOST:INSIDE bind mounts
  local dir="$1" path="$2" command="$3"
  shift 3
  unshare --mount --fork sh -c '
    dir="$1" path="$2" command="$3"
    shift 3
    mount --make-rprivate /
    mount -t proc proc "$dir/proc"
    mount --rbind /dev "$dir/dev"
    for bind in "$@"; do
      mkdir -p "$dir/${bind#*:}"
      mount --bind "${bind%%:*}" "$dir/${bind#*:}"
    done
    exec chroot "$dir" /usr/bin/env -i HOME=/root PATH="$path" LANG=C.UTF-8 sh -ec "$command"
  ' in_root "$dir" "$path" "$command" "$@"
}

# The host's extra CA certificates (a proxy's, say), given to a root so that pip there reaches PyPI.
trust_host_certificates() {  # root dir
  local extra=/usr/local/share/ca-certificates
  [ -d "$extra" ] && [ -n "$(ls -A "$extra")" ] || return 0
  mkdir -p "$1$extra"
  cp -r "$extra"/. "$1$extra/"
  in_root "$1" /usr/sbin:/usr/bin:/sbin:/bin 'update-ca-certificates >/dev/null 2>&1'
}

# CPython sources as Debian ships them, each with the SHA-256 that its .dsc lists: a changed or
# truncated download is refused rather than built. 3.13.5 is Debian 13's; 3.14.7 is the newest
# 3.14 source the archive still serves.
declare -A cpython_source=(
  [3.13]="3.13.5 93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640"
  [3.14]="3.14.7 3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81"
)

# Prints the path of the checked source tarball of CPython MINOR (3.13 or 3.14), fetching it once
# into the cache.
cpython_tarball() {  # minor
  local entry="${cpython_source[$1]:-}"
  [ -n "$entry" ] || { echo "no CPython $1 source is known" >&2; return 1; }
  local version="${entry% *}" sha256="${entry#* }"
  local cache="${VELLORA_CACHE:-/var/cache/vellora}" tarball="python$1_${version}.orig.tar.xz"
  local path="$cache/sources/$tarball"
  mkdir -p "$cache/sources"
  if [ ! -f "$path" ]; then
    printf '==> fetching CPython %s source (Debian pool)\n' "$version" >&2
    # Builds side by side may fetch the same file: each into a file of its own, renamed whole.
    local part
    part="$(mktemp "$path.part.XXXXXX")"
    curl -fsS -o "$part" "http://deb.debian.org/debian/pool/main/p/python$1/$tarball" ||
      { rm -f "$part"; echo "fetching $tarball failed" >&2; return 1; }
    chmod 644 "$part"
    mv -f "$part" "$path"
  fi
  echo "$sha256  $path" | sha256sum -c --quiet - >&2 ||
    { rm -f "$path"; echo "$tarball does not match its SHA-256" >&2; return 1; }
  printf '%s\n' "$path"
}

# Waits for background jobs given as LABEL:PID, each of which wrote FOLDER/LABEL.log, then shows
# the end of every failed job's log. Fails if any job did.
wait_for_logged_jobs() {  # folder, then LABEL:PID...
  local folder="$1" job failed=()
  shift
  for job in "$@"; do
    wait "${job#*:}" || failed+=("${job%%:*}")
  done
  for job in "${failed[@]}"; do
    printf '\n==> %s failed:\n' "$job" >&2
    tail -n 80 "$folder/$job.log" >&2
  done
  [ ${#failed[@]} -eq 0 ] || { printf 'failed: %s (above)\n' "${failed[*]}" >&2; return 1; }
}
