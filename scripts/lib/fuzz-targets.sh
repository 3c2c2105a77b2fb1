# shellcheck shell=bash disable=SC2034
# Sourced by scripts/fuzz and scripts/fuzz-ci: the libFuzzer targets, their build, and how each
# runs: from its committed seeds (tests/fuzz/seeds/TARGET, read beside the working corpus
# build-fuzz/corpus/TARGET, where new inputs go), with its dictionary (tests/fuzz/dict) and an
# input length that holds a whole file.

fuzz_targets=(fuzz_hm210_replies fuzz_console_replies fuzz_record_stream fuzz_settings_replies
  monitoring_record_fuzz xlnk_receiver_fuzz xlnk_receiver_ubsan_fuzz transfer_controller_fuzz
  port_settings_text_fuzz fuzz_alarm_ring fuzz_single_alarm fuzz_history parameter_block_fuzz
  downloaded_files_fuzz discriminator_fuzz stored_rows_fuzz fleet_answer_fuzz telnet_receiver_fuzz)

# fuzz_build TARGET...: configures build-fuzz (clang) and builds the targets.
fuzz_build() {
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DSUITE_FUZZ=ON -DSUITE_BUILD_TESTS=OFF -DSUITE_BUILD_WINDOWS=OFF >/dev/null
  cmake --build build-fuzz -j "${FUZZ_JOBS:-$(nproc)}" --target "$@"
}

# fuzz_options TARGET: the dictionary and longest input of the target, as libFuzzer options.
fuzz_options() {
  local dict=
  case $1 in
    port_settings_text_fuzz) dict=port_settings_text ;;
    xlnk_receiver_fuzz | xlnk_receiver_ubsan_fuzz) dict=xlnk_receiver ;;
    fuzz_alarm_ring | fuzz_single_alarm | fuzz_history | downloaded_files_fuzz) dict=station_files ;;
    fleet_answer_fuzz) dict=fleet_answer ;;
    transfer_controller_fuzz) dict=transfer_controller ;;
  esac
  [ -n "$dict" ] && echo "-dict=$PWD/tests/fuzz/dict/$dict.dict"
  case $1 in
    # A whole alarm ring (15000 bytes) with its offsets or behind its parameter block.
    fuzz_alarm_ring | downloaded_files_fuzz) echo "-max_len=16384" ;;
    # A download of a few blocks of up to 1034 bytes, in reads of 64.
    xlnk_receiver_fuzz | xlnk_receiver_ubsan_fuzz) echo "-max_len=8192" ;;
    *) echo "-max_len=4096" ;;
  esac
}

# fuzz_run TARGET [LIBFUZZER OPTION...]: runs the newest build of the target over its corpus
# and seeds; a crash is kept in build-fuzz/artifacts.
fuzz_run() {
  local target=$1
  shift
  local binary corpus seeds
  # The newest build of the target (a target that moved leaves its old binary behind).
  binary=$(find build-fuzz -type f -name "$target" -perm -u+x -printf '%T@ %p\n' | sort -nr |
    head -n 1 | cut -d' ' -f2-)
  # Absolute folders: a target may change its working folder (the console writes its files
  # there).
  corpus="$PWD/build-fuzz/corpus/$target"
  seeds="$PWD/tests/fuzz/seeds/${target/_ubsan/}"
  mkdir -p "$corpus" "$PWD/build-fuzz/artifacts"
  # shellcheck disable=SC2046
  "$binary" $(fuzz_options "$target") -artifact_prefix="$PWD/build-fuzz/artifacts/$target-" \
    "$@" "$corpus" "$seeds"
}
