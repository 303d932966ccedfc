#!/usr/bin/env bash
# Installs the pinned official MCP client (npm ci, only when the lock file changed) and runs the
# black-box tests of tirvane-mcp with node's test runner: the files given, else every *.test.mjs.
# Called by CTest (and scripts/test-windows) with TIRVANE_APP and TIRVANE_MCP set to the built
# programs.
set -euo pipefail
cd "$(dirname "$0")"
for tool in node npm Xvfb; do
  command -v "$tool" >/dev/null || { echo "run-tests: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done
stamp=node_modules/.tirvane-lock-sha256
wanted=$(sha256sum package-lock.json | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  npm ci --no-audit --no-fund --loglevel=error
  echo "$wanted" > "$stamp"
fi
if [ $# -eq 0 ]; then set -- ./*.test.mjs; fi
exec node --test --test-concurrency=1 "$@"
