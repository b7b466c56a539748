#!/usr/bin/env bash
# dev.sh demo|test|check|wheels|run JOB...|bench (--help says more): the project's jobs,
# run by scripts/runner with the first CPython found that has tomllib.
set -euo pipefail
scripts="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
for python in "${PYTHON:-}" python3 "$(command -v pyenv >/dev/null && pyenv root)/shims/python3"; do
  if [ -n "$python" ] && "$python" -c 'import tomllib' >/dev/null 2>&1; then
    PYTHONPATH="$scripts" exec "$python" -m runner "$@"
  fi
done
echo "dev.sh: no CPython with tomllib found; set PYTHON=/path/to/python3" >&2
exit 1
