#!/usr/bin/env bash
# Sets up .venv and runs the main example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/bundle.py
