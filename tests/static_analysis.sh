#!/usr/bin/env bash
# clang-format, clang-tidy and cppcheck over the program's sources; any
# finding fails. BUILD_DIR holds the host build's compile_commands.json.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
build=$1
cd "$top"
fail=0
sources=(src/imagewrite.cpp)
formatted=(src/*.cpp src/*.h tests/*.cpp tests/*.h tests/sim/*.cpp tests/sim/*.h tests/fuzz/*.cpp)

if clang-format --dry-run --Werror "${formatted[@]}"; then
  echo "ok: clang-format"
else
  echo "FAILED: clang-format (run: clang-format -i ${formatted[*]})"; fail=1
fi
if clang-tidy --quiet -p "$build" "${sources[@]}" 2>/dev/null; then
  echo "ok: clang-tidy"
else
  echo "FAILED: clang-tidy"; fail=1
fi
# C-style casts are the house style of this C-style program.
if cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
  --std=c++17 --language=c++ --suppress=cstyleCast --suppress=missingIncludeSystem -q \
  -I src src/; then
  echo "ok: cppcheck"
else
  echo "FAILED: cppcheck"; fail=1
fi
exit $fail
