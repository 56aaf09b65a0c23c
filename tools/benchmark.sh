#!/usr/bin/env bash
# Benchmarks reading the update document against the floor of six memmem scans and one widening
# copy, on a realistic 2 KB document and on a 1 MiB one whose keys come last.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

"$root/tools/setup.sh"
configure_native "$build/native" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build/native" --target update_document_benchmark
"$build/native/tests/native/update_document_benchmark" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@"
