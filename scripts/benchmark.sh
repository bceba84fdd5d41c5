#!/usr/bin/env bash
# Benchmarks of the driver under Wine against the controller simulator on a
# null-modem pair, both bitnesses: one table of figures (min, median, max) and
# the ratios of medians taken in the same run, with the machine they ran on.
# Also written as JSON to $BUILD_DIR/benchmark.json. Not part of scripts/test.sh:
# a benchmark never fails the suite.
# Usage: scripts/benchmark.sh [--reps N]   (N multiplies every repetition count)
set -u
. "$(dirname "$0")/lib/bench.sh"
. "$(dirname "$0")/lib/driver.sh"
bench_trap

bench_install || { echo "package installation failed"; exit 1; }
bench_probe
bench_build >/dev/null || { echo "build failed"; exit 1; }
bench_start_xvfb || exit 1
bench_start_wine || exit 1
bench_pair 5 6

out=$BUILD_DIR/benchmark
mkdir -p "$out"
runs=()
for bits in $(driver_bits); do
    runs+=("$out/win$bits.json")
    exe=$BUILD_DIR/win$bits/tests/focuser_benchmark.exe
    [ -f "$exe" ] || { echo "$exe is not built"; exit 1; }
    echo "running the $bits-bit benchmark..." >&2
    (cd "$(dirname "$exe")" && winerun $bits "$exe" "$@" 2>"$out/win$bits.err") | tr -d '\r' >"$out/win$bits.json"
    [ -s "$out/win$bits.json" ] || { echo "no result from $exe:"; cat "$out/win$bits.err"; exit 1; }
done

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
cores=$(nproc)
wine_version=$(winerun 64 --version)
[ "$BENCH_RUNS32" = 1 ] || echo "Left out: the 32-bit benchmark (this machine runs 64-bit code only)"
CPU="$cpu" CORES="$cores" WINE_VERSION="$wine_version" python3 - "$BUILD_DIR/benchmark.json" "${runs[@]}" <<'EOF'
import json, os, sys

runs = [json.load(open(p)) for p in sys.argv[2:]]
machine = {"cpu": os.environ["CPU"], "cores": int(os.environ["CORES"]), "wine": os.environ["WINE_VERSION"]}
with open(sys.argv[1], "w") as f:
    json.dump({"machine": machine, "runs": runs}, f, indent=2)

print(f"Machine: {machine['cpu']}, {machine['cores']} cores; {machine['wine']}")
for run in runs:
    print(f"\n{run['bits']}-bit driver and client")
    print(f"  {'figure':<56} {'unit':>4} {'n':>5} {'min':>10} {'median':>10} {'max':>10}")
    for fig in run["figures"]:
        print(f"  {fig['name']:<56} {fig['unit']:>4} {fig['n']:>5} {fig['min']:>10.3f} {fig['median']:>10.3f}"
              f" {fig['max']:>10.3f}")
    print(f"  {'ratio of medians':<56} {'':>4} {'':>5} {'':>10} {'value':>10}")
    for r in run["ratios"]:
        print(f"  {r['name']:<56} {'':>4} {'':>5} {'':>10} {r['value']:>10.3f}")
    if run.get("trace_documents"):
        print(f"  trace log of the traced calls: below {run['trace_documents']}\\ASCOM")
    if run.get("problem"):
        print(f"  problem: {run['problem']}")
print(f"\nJSON: {sys.argv[1]}")
EOF
