#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz) and runs each one for
# a bounded time on a working copy of its seed corpus, so the repository's
# corpus stays as committed. Exits non-zero when any target reports a crash,
# a leak, a timeout or a failed check; the input that did it is kept in
# build-fuzz/artifacts/<target>/.
#
#   FUZZ_SECONDS  seconds per target (default 30)
#   FUZZ_TARGETS  targets to run, blank-separated (default: all below)
#   FUZZ_JOBS     targets run at once (default: the number of cores)
#
# Needs clang and the compiler runtime (libclang-rt-14-dev); installs them
# with apt-get when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${FUZZ_SECONDS:-30}

# The fuzz targets, one fuzz/<name>.cc and one fuzz/corpus/<name>/ each.
all_targets=(
  arg_file_fuzz   # argument file: basic parameters and the command walk
  flags_fuzz      # flags lines: parsing, judgement, omit-list codes
  codec_fuzz      # scrambled file and string codec
  trace_config_fuzz  # trace configuration-file parser
  manifest_fuzz   # package manifest names, pristine argument-file digest
  minisign_key_fuzz  # minisign public key, signature and secret key files
  run_log_fuzz    # run log reader and pxtool report (text, JSON, SVG)
  status_file_fuzz  # status-file parser, final code in words
  check_fuzz      # pxtool check: the package checker on any argument file
  run_output_fuzz  # the commands' output file: frames and outputs read back
)
read -r -a targets <<< "${FUZZ_TARGETS:-${all_targets[*]}}"

runtime_installed() {
  dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null |
    grep -q "install ok installed"
}
if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null ||
   ! runtime_installed; then
  echo "run_fuzzers: installing clang libclang-rt-14-dev"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang libclang-rt-14-dev
fi
bash scripts/setup.sh  # cmake, make, the test libraries

build=$root/build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DQUILLON_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

# Runs one target on a working copy of its corpus; its libFuzzer log is
# build-fuzz/<target>.log.
fuzz_one() {
  local target=$1 work=$build/corpus-work/$1 artifacts=$build/artifacts/$1
  rm -rf "$work" "$artifacts"
  mkdir -p "$work" "$artifacts"
  cp -r "fuzz/corpus/$target/." "$work/"
  # -close_fd_mask=1: the "-d" diagnostics of the code under test go to
  # standard output; libFuzzer reports on standard error.
  "$build/bin/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" 2> "$build/$target.log"
}

# Each target is single-threaded: as many run at once as there are cores.
jobs=${FUZZ_JOBS:-$(nproc)}
failed=()
for ((first = 0; first < ${#targets[@]}; first += jobs)); do
  batch=("${targets[@]:first:jobs}")
  pids=()
  for target in "${batch[@]}"; do
    echo "run_fuzzers: $target for ${seconds}s"
    fuzz_one "$target" >/dev/null &
    pids+=($!)
  done
  for i in "${!batch[@]}"; do
    target=${batch[$i]}
    if wait "${pids[$i]}"; then
      tail -n 12 "$build/$target.log" | grep -E '^(Done|stat::number_of_executed_units)' || true
    else
      failed+=("$target")
      tail -n 60 "$build/$target.log"
      echo "run_fuzzers: $target FAILED; input kept in $build/artifacts/$target/"
    fi
  done
done

if ((${#failed[@]})); then
  echo "run_fuzzers: crashes in: ${failed[*]}"
  exit 1
fi
echo "run_fuzzers: ${#targets[@]} targets ran ${seconds}s each without a crash"
