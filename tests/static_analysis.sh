#!/usr/bin/env bash
# clang-format, clang-tidy and cppcheck; any finding fails:  static_analysis.sh HOST_BUILD_DIR
cd "$(dirname "$0")/.." || exit 1
clang-format --dry-run --Werror src/*.cpp src/*.h tests/*.cpp && echo "ok: clang-format" &&
  clang-tidy --quiet -p "$1" src/imagewrite.cpp 2>/dev/null && echo "ok: clang-tidy" &&
  # C-style casts are the house style of this C-style program.
  cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr --std=c++17 \
    --language=c++ --suppress=cstyleCast --suppress=missingIncludeSystem -q -I src src/ && echo "ok: cppcheck"
