#!/usr/bin/env bash
# Builds the state decoder fuzzer with clang + libFuzzer + ASan/UBSan into build/fuzz,
# writes seed states and fuzzes for $1 seconds (default 60). Exits non-zero on a finding;
# the input that caused it is saved in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build/fuzz

log() { echo "[fuzz] $*" >&2; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
apt_updated=0
apt_install() {
    installed "$1" && return 0
    if [ $apt_updated -eq 0 ]; then apt-get update -qq >&2; apt_updated=1; fi
    log "installing $1"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$1" >/dev/null
}

command -v clang++ >/dev/null 2>&1 || apt_install clang
# libFuzzer and the sanitizer runtimes ship apart from the compiler, per major version.
major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
apt_install "libclang-rt-$major-dev"

flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -ffp-contract=off
       -fno-fast-math -fno-omit-frame-pointer -Wall -Wextra -Isrc)
mkdir -p "$out/obj" "$out/corpus"
# Objects built with other flags are rebuilt.
if [ "$(cat "$out/flags" 2>/dev/null)" != "${flags[*]}" ]; then
    rm -f "$out"/obj/*.o
    echo "${flags[*]}" >"$out/flags"
fi

object_of() { local s=${1//\//_}; echo "$out/obj/${s%.cpp}.o"; }
# An object is stale when it or its dependency list is missing or any dependency is newer.
stale() {
    local obj dep
    obj=$(object_of "$1")
    [ -f "$obj" ] && [ -f "${obj%.o}.d" ] || return 0
    for dep in $(sed -e 's/\\$//' -e 's/^[^:]*://' "${obj%.o}.d"); do
        [ "$dep" -nt "$obj" ] && return 0
    done
    return 1
}

mapfile -t sources < <(find src/base src/engine src/index src/pool src/query src/state -name '*.cpp' | sort; echo fuzz/state_fuzz.cpp)
objects=()
todo=()
for s in "${sources[@]}"; do
    objects+=("$(object_of "$s")")
    if stale "$s"; then todo+=("$s"); fi
done
if [ ${#todo[@]} -gt 0 ]; then
    log "compiling ${#todo[@]} sources"
    for s in "${todo[@]}"; do echo "$s $(object_of "$s")"; done |
        FUZZ_FLAGS="${flags[*]}" xargs -P 2 -n 2 sh -c 'clang++ $FUZZ_FLAGS -MMD -c "$1" -o "$2"' sh
fi
binary=$out/state_fuzz
if [ ! -x "$binary" ] || [ -n "$(find "${objects[@]}" -newer "$binary")" ]; then
    clang++ "${flags[@]}" "${objects[@]}" -o "$binary"
fi

rm -rf "$out/seeds"
"$binary" --write-seeds "$out/seeds"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
log "fuzzing for ${seconds}s (log: $out/fuzz.log)"
status=0
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$out/" "$out/corpus" "$out/seeds" >"$out/fuzz.log" 2>&1 || status=$?
corpus=$(find "$out/corpus" -type f | wc -l)
if [ $status -ne 0 ]; then
    tail -n 60 "$out/fuzz.log" >&2
    log "FINDING (exit $status); input saved as $(grep -o "$out/[a-z-]*-[0-9a-f]*" "$out/fuzz.log" | tail -n 1)"
    exit $status
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/fuzz.log")
log "$runs executions, corpus of $corpus inputs, no findings"
