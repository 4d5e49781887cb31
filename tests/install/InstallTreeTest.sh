#!/usr/bin/env bash
# Installs the whole build into a scratch root (DESTDIR, so that nothing outside it is touched
# whatever the prefix) and checks what a server machine gets: the programs, which start from
# there, the client package, the settings, the documentation and a systemd unit that names the
# installed program and settings file and that systemd accepts.
#   InstallTreeTest.sh SOURCE_DIR BUILD_DIR WORK_DIR WITH_QT PREFIX BINDIR LIBDIR INCLUDEDIR
#                      SYSCONFDIR DOCDIR        (the full installation directories)
set -uo pipefail
SOURCE_DIR=$1 BUILD_DIR=$2 WORK_DIR=$3 WITH_QT=$4 PREFIX=$5 BINDIR=$6 LIBDIR=$7 INCLUDEDIR=$8
SYSCONFDIR=$9 DOCDIR=${10}
ROOT=$WORK_DIR/root
UNIT=$PREFIX/lib/systemd/system/zorva-server.service
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

rm -rf "$WORK_DIR"
DESTDIR=$ROOT cmake --install "$BUILD_DIR" >"$WORK_DIR.log" 2>&1 || {
  cat "$WORK_DIR.log"
  exit 1
}

programs=("$BINDIR/zorva-server" "$BINDIR/zorva-admin")
expected=("$SYSCONFDIR/zorva/Win.ini" "$UNIT" "$DOCDIR/README.md")
if [ "$WITH_QT" = ON ]; then
  programs+=("$BINDIR/ZorvaServer" "$BINDIR/zorva-chat" "$BINDIR/zorva-lobby-demo")
  expected+=("$LIBDIR/libZorvaComp.so" "$INCLUDEDIR/zorva/ZorvaConnection.h"
    "$LIBDIR/cmake/ZorvaComp/ZorvaCompConfig.cmake")
fi
for doc in PROTOCOL.md ARCHITECTURE.md; do
  [ -f "$SOURCE_DIR/docs/$doc" ] && expected+=("$DOCDIR/$doc")
done
for file in "${programs[@]}" "${expected[@]}"; do
  [ -f "$ROOT$file" ] || fail "$file is not installed"
done

# From the install tree, away from the build's libraries: a program that cannot find the
# installed client library fails here.
for program in "${programs[@]}"; do
  [ -x "$ROOT$program" ] || continue
  QT_QPA_PLATFORM=offscreen "$ROOT$program" --help >"$WORK_DIR/help.out" 2>&1 ||
    fail "$program --help: $(head -3 "$WORK_DIR/help.out")"
done

# The unit's program and settings are the ones installed beside it.
exec_start=$(sed -e ':a' -e '/\\$/{N;s/\\\n */ /;ba' -e '}' "$ROOT$UNIT" | sed -n 's/^ExecStart=//p')
[ "${exec_start%% *}" = "$BINDIR/zorva-server" ] || fail "the unit starts ${exec_start%% *}"
ini=$(sed -n 's/.*--ini \([^ ]*\).*/\1/p' <<<"$exec_start")
if [ -z "$ini" ] || [ ! -f "$ROOT$ini" ]; then
  fail "the unit reads settings \"$ini\", which are not installed"
fi
grep -q -- "--users /var/lib/zorva/" <<<"$exec_start" || fail "the unit keeps no user store"
grep -q -- "--admin 127.0.0.1:" <<<"$exec_start" || fail "the unit offers no admin API on loopback"
for setting in DynamicUser=yes StateDirectory=zorva ProtectSystem=strict ProtectHome=yes \
  PrivateTmp=yes NoNewPrivileges=yes RestrictAddressFamilies= LimitNOFILE=; do
  grep -q "^$setting" "$ROOT$UNIT" || fail "the unit lacks $setting"
done

# In the scratch root, the unit's program must exist there and the system's units it builds on
# are copied in. A setting that does not parse is only a warning: any output fails.
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$ROOT/usr/lib/systemd/system"
  cp -an /usr/lib/systemd/system/. "$ROOT/usr/lib/systemd/system/"
  if ! SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --root="$ROOT" "$ROOT$UNIT" \
    >"$WORK_DIR/verify.out" 2>&1 || [ -s "$WORK_DIR/verify.out" ]; then
    fail "systemd-analyze verify: $(cat "$WORK_DIR/verify.out")"
  fi
else
  echo "no systemd-analyze here; the unit is not verified"
fi

[ "$failures" -eq 0 ] && echo "install tree: all checks pass"
exit $((failures > 0))
