#!/usr/bin/env bash
# Builds the server and runs it from ./run (its program folder: tovenmarsh.cfg, tovenmarsh.log,
# db/, mail/, queue/, document/ and webroot/ live beside the executable).
# Set TOVENMARSH_PORT_OFFSET=N to listen on 25+N, 110+N and 80+N.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh run
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVENMARSH_TESTS=OFF -DTOVENMARSH_WERROR=OFF >/dev/null
cmake --build build/release --target tovenmarsh
mkdir -p run
cp -f build/release/src/app/tovenmarsh run/tovenmarsh
exec run/tovenmarsh "$@"
