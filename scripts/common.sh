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
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}
