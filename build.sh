#!/usr/bin/env bash
# Quillon Keyscour: one entry point for building, testing and running.
#
#   ./build.sh test            build natively (also with ASan and UBSan) and for Windows,
#                              run every test, then fuzz each reader briefly
#                              (KEYSCOUR_FUZZ_SECONDS, default 30; 0 skips)
#   ./build.sh fuzz [SECONDS]  run each fuzz target that long (default 60)
#   ./build.sh dist            the installer, the zip and the .deb in build/dist
#   ./build.sh run             start Keyscour under Wine in your own prefix
#   ./build.sh bench [ARGS]    the native benchmark (ARGS: see --help)
#   ./build.sh bench-wine [ARGS]  the same program under Wine
#   ./build.sh build-windows   only build keyscour.exe and the Windows tests
#   ./build.sh packages        the Debian packages the build needs
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
native="$root/build/native"
# One clang build with ASan and UBSan for the sanitized suite and the fuzz targets.
sanitized="$root/build/sanitize"
windows="$root/build/windows"
jobs="$(nproc 2>/dev/null || echo 2)"

packages=(cmake make g++ googletest g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
          binutils-mingw-w64-x86-64 wine wine64 xvfb xauth x11-apps imagemagick
          libcli11-dev nlohmann-json3-dev libboost1.81-dev libhivex-dev libhivex-bin libwin-hivex-perl
          clang libfuzzer-14-dev libclang-rt-14-dev
          nsis zip unzip lintian dpkg-dev xz-utils)

say() { printf '%s\n' "$*" >&2; }

install_missing() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

build_native() {
    cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$native" -j "$jobs"
}

build_sanitized() {
    CC=clang CXX=clang++ cmake -S "$root" -B "$sanitized" -DCMAKE_BUILD_TYPE=None \
        -DCMAKE_CXX_FLAGS="-O1 -gline-tables-only" -DKEYSCOUR_SANITIZE=ON -DKEYSCOUR_FUZZ=ON >/dev/null
    cmake --build "$sanitized" -j "$jobs"
}

# The native suite once more under AddressSanitizer and UBSan: any report
# ends its test with an error.
test_sanitized() {
    build_sanitized
    (cd "$sanitized" && ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure)
}

# Each fuzz target for SECONDS, side by side, from seeds the project's
# generators write; prints runs, executions per second and coverage.
run_fuzz() {
    local seconds="$1" status=0 fuzz="$sanitized/fuzz"
    build_sanitized
    "$fuzz/fuzz_seeds" "$fuzz/seeds"
    local pids=()
    for target in reg_reader hive hive_logs value_text; do
        mkdir -p "$fuzz/corpus/$target" "$fuzz/crashes"
        (cd "$fuzz/crashes" && exec "$fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
            -rss_limit_mb=2048 -timeout=20 "$fuzz/corpus/$target" "$fuzz/seeds/$target" >"$fuzz/$target.log" 2>&1) &
        pids+=($!)
    done
    local i=0
    for target in reg_reader hive hive_logs value_text; do
        local log="$fuzz/$target.log"
        if ! wait "${pids[$i]}"; then
            say "fuzz_$target found a fault; see $log and $fuzz/crashes"
            tail -30 "$log" >&2
            status=1
        fi
        i=$((i + 1))
        local runs speed cover
        runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
        speed="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")"
        cover="$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)"
        printf 'fuzz_%s: runs=%s exec_per_s=%s coverage=%s\n' "$target" "${runs:-0}" "${speed:-0}" "${cover:-0}"
    done
    return $status
}

# The project's one version, from CMakeLists.txt.
project_version() {
    sed -n 's/^project(QuillonKeyscour VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt"
}

make_dist() {
    build_native
    build_windows
    "$root/dist/build-dist.sh" "$(project_version)" "$native" "$windows" "$root/build/dist"
}

build_windows() {
    cmake -S "$root" -B "$windows" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build "$windows" -j "$jobs"
}

# Starts Xvfb on a free display when there is none, and exports DISPLAY.
ensure_display() {
    [ -n "${DISPLAY:-}" ] && return 0
    local n=99
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    started_xvfb=1
}

stop_display() {
    if [ "${started_xvfb:-0}" = 1 ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}

# A warm wineserver of the test prefix; its output goes nowhere, so that
# services it starts never hold ctest's pipes open.
start_wine() {
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    wineboot -i >/dev/null 2>&1 </dev/null || true
    # A virtual desktop: with no window manager on Xvfb, Wine would wait two
    # seconds for one at every top-level window that goes away.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 </dev/null || true
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1280x1024 /f >/dev/null 2>&1 </dev/null || true
    wineserver -k >/dev/null 2>&1 </dev/null || true
    wineserver -p >/dev/null 2>&1 </dev/null || true
    wineboot -i >/dev/null 2>&1 </dev/null || true
}

run_tests() {
    install_missing
    build_native
    (cd "$native" && ctest --output-on-failure)
    test_sanitized
    build_windows
    ensure_display
    trap stop_display EXIT
    export WINEPREFIX="$windows/wineprefix"
    start_wine
    local status=0
    (cd "$windows" && ctest --output-on-failure) || status=$?
    wineserver -k >/dev/null 2>&1 || true
    make_dist && "$root/dist/try-dist.sh" "$(project_version)" "$root/build/dist" || status=1
    local seconds="${KEYSCOUR_FUZZ_SECONDS:-30}"
    if [ "$seconds" != 0 ]; then run_fuzz "$seconds" || status=1; fi
    return $status
}

run_app() {
    install_missing
    build_windows
    export WINEDEBUG=-all
    if [ -z "${DISPLAY:-}" ]; then
        ensure_display
        trap stop_display EXIT
        say "No display: Keyscour runs on Xvfb display $DISPLAY."
        say "Take a screenshot with:  import -display $DISPLAY -window root keyscour.png"
    fi
    local log="$root/build/keyscour-wine.log"
    say "Starting Keyscour (prefix: ${WINEPREFIX:-$HOME/.wine}; Wine's messages go to $log)."
    wineboot -i >"$log" 2>&1 </dev/null || true
    wine "$windows/ui/keyscour.exe" >>"$log" 2>&1 </dev/null
}

case "${1:-}" in
    test) run_tests ;;
    run) run_app ;;
    bench) shift; install_missing; build_native; "$native/bench/keyscour-bench" "$@" ;;
    bench-wine)
        shift; install_missing; build_windows; ensure_display; trap stop_display EXIT
        export WINEPREFIX="$windows/wineprefix"; start_wine
        "$windows/wine-run.sh" "$windows/bench/keyscour-bench.exe" "$@" ;;
    build-windows) install_missing; build_windows ;;
    fuzz) shift; install_missing; run_fuzz "${1:-60}" ;;
    dist) install_missing; make_dist ;;
    packages) printf '%s\n' "${packages[@]}" ;;
    *) sed -n '2,14p' "$0" >&2; exit 2 ;;
esac
