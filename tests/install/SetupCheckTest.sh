#!/usr/bin/env bash
# scripts/setup --check against the configured build: it passes with the full list, and taking a
# package off the list makes it fail naming that package, for each way the build finds one.
#   SetupCheckTest.sh SOURCE_DIR BUILD_DIR WORK_DIR WITH_QT
set -uo pipefail
SOURCE_DIR=$1 BUILD_DIR=$2 WORK_DIR=$3 WITH_QT=$4
SETUP=$SOURCE_DIR/scripts/setup
failures=0

# expect STATUS TEXT... -- ARGS...: scripts/setup ARGS exits with STATUS and says every TEXT,
# and none of the TEXTs written !TEXT.
expect() {
  local status=$1 texts=() text output actual wrong=""
  shift
  while [ "$1" != -- ]; do texts+=("$1"); shift; done
  shift
  output=$("$SETUP" "$@" 2>&1)
  actual=$?
  [ "$actual" -eq "$status" ] || wrong="exit $actual, not $status"
  for text in "${texts[@]}"; do
    if [ "${text:0:1}" = "!" ]; then
      ! grep -qF -- "${text:1}" <<<"$output" || wrong+=" says \"${text:1}\""
    else
      grep -qF -- "$text" <<<"$output" || wrong+=" lacks \"$text\""
    fi
  done
  if [ -n "$wrong" ]; then
    echo "FAIL: setup $*:$wrong; it said:"
    echo "$output"
    failures=$((failures + 1))
  fi
}

rm -rf "$WORK_DIR"
mkdir -p "$WORK_DIR/fake"

expect 0 "the list covers" -- --check --build "$BUILD_DIR"
# Found by pkg_check_modules: a .pc file and a library.
expect 1 "liburing.pc from liburing-dev" "missing from the list: liburing-dev" \
  -- --check --build "$BUILD_DIR" --without liburing-dev
if [ "$WITH_QT" = ON ]; then
  # Found only by Qt's own package configurations, as a dependency of Qt Charts.
  expect 1 "Qt6OpenGLConfig.cmake from libqt6opengl6-dev" \
    "missing from the list: libqt6opengl6-dev" -- --check --build "$BUILD_DIR" --without libqt6opengl6-dev
fi

# A build whose cache names a package directory that has gone since and a library that no
# Debian package owns; a find module's include directory is no package directory.
touch "$WORK_DIR/fake/libhome-made.so"
cat >"$WORK_DIR/fake/CMakeCache.txt" <<CACHE
Gone_DIR:PATH=$WORK_DIR/no-such-dir/cmake/Gone
HOME_MADE_LIBRARY:FILEPATH=$WORK_DIR/fake/libhome-made.so
SQLite3_INCLUDE_DIR:PATH=/usr/include
CACHE
expect 1 "$WORK_DIR/no-such-dir/cmake/Gone/GoneConfig.cmake, found when" \
  "libhome-made.so, found by the build, belongs to no Debian package" "!SQLite3" \
  -- --check --build "$WORK_DIR/fake"

expect 2 "no-such-package is not in the list" -- --check --without no-such-package
expect 2 "no configured build in $WORK_DIR/none" -- --check --build "$WORK_DIR/none"
expect 2 "unknown option --chekc" -- --chekc

[ "$failures" -eq 0 ] && echo "setup --check: all cases pass"
exit $((failures > 0))
