#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/setup.sh

jobs=$(nproc)
cmake --preset default -DQUOL_WERROR=ON >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"
