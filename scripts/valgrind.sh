#!/usr/bin/env bash
# Runs the native test suite once under valgrind memcheck (an unsanitized
# Debug build; the sanitizer build cannot run under valgrind).
#   bash scripts/valgrind.sh [build-dir]     default build/native (the "native" preset)
# Fails on any memcheck error: invalid reads or writes, use of uninitialised
# values, bad frees, or definitely / indirectly lost memory, also in the
# child processes the interrupted-save tests fork.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
dir=${1:-build/native}

if ! command -v valgrind >/dev/null; then
  sudo_cmd=(); [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends valgrind >/dev/null || { echo "valgrind missing"; exit 1; }
fi

if [ "$dir" = build/native ]; then
  cmake --preset native >/dev/null
else
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$dir" --target ventrix_native_tests || { echo "build failed"; exit 1; }

log="$dir/valgrind.log"
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
  --track-origins=yes --child-silent-after-fork=yes --log-file="$log" \
  "$dir/tests/ventrix_native_tests" --gtest_brief=1
rc=$?
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost' "$log" | sed 's/^==[0-9]*== //'
echo "valgrind memcheck: exit $rc (log: $log)"
exit $rc
