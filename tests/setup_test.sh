#!/usr/bin/env bash
# Setup's decisions when apt fails, against stubs of apt-get, dpkg, dpkg-query
# and locale placed first on PATH: an error for one package list and a 32-bit
# Wine that cannot be installed are not failures; the Linux part missing is.
set -uo pipefail
setup=$(cd "$(dirname "$0")/.." && pwd)/scripts/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# Writes the stubs into $work/bin; the fake machine's state lives in $work.
make_stubs() {
  mkdir -p "$work/bin"
  cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/bash
grep -qxF "${!#}" "$STUB/installed" && echo "install ok installed"
EOF
  cat >"$work/bin/apt-get" <<'EOF'
#!/bin/bash
if [ "$1" = update ]; then
  [ -n "${STUB_UPDATE_FAILS:-}" ] || exit 0
  echo "E: Failed to fetch i386 Packages  File has unexpected size (374820 != 376004)" >&2
  exit 100
fi
shift 3  # install -y -q
for p in "$@"; do
  if grep -qxF "$p" <<<"${STUB_BROKEN:-}"; then
    echo "E: Unable to correct problems, you have held broken packages." >&2
    exit 100
  fi
done
printf '%s\n' "$@" >>"$STUB/installed"
EOF
  cat >"$work/bin/dpkg" <<'EOF'
#!/bin/bash
case "$1" in
  --print-foreign-architectures) cat "$STUB/arches" ;;
  --add-architecture) echo "$2" >>"$STUB/arches" ;;
esac
EOF
  printf '#!/bin/bash\necho ja_JP.utf8\n' >"$work/bin/locale"
  chmod +x "$work/bin/"*
}

# fail NAME WHY: one failure, with that run's output.
fail() {
  echo "FAIL $1: $2"
  sed 's/^/  /' "$work/$1.out"
  failures=$((failures + 1))
}

# run_setup NAME EXPECTED_STATUS [ENV...]: setup's output in $work/NAME.out.
run_setup() {
  local name=$1 expected=$2 status=0
  shift 2
  env PATH="$work/bin:$PATH" STUB="$work" "$@" bash "$setup" >"$work/$name.out" 2>&1 || status=$?
  [ "$status" = "$expected" ] || fail "$name" "status $status, expected $expected"
}

# expect NAME TEXT: the run's output has TEXT on a line of its own.
expect() { grep -qxF "$2" "$work/$1.out" || fail "$1" "no line '$2'"; }

make_stubs
: >"$work/installed"
: >"$work/arches"
run_setup broken_linux 1 STUB_BROKEN=libgtest-dev
expect broken_linux "setup: ERROR: the Linux part could not be installed (Unable to correct problems, you have held broken packages.); without it nothing can be built or tested. Mend apt (see above) and run setup again."
grep -q "Windows" "$work/broken_linux.out" && fail broken_linux "went on to the Windows part"

run_setup fresh 0 STUB_UPDATE_FAILS=1 STUB_BROKEN=wine32:i386
expect fresh "setup: apt-get update failed for some package lists (Failed to fetch i386 Packages  File has unexpected size (374820 != 376004)); going on with the lists it has"
expect fresh "setup: 32-bit Wine (wine32:i386) cannot be installed (Unable to correct problems, you have held broken packages.); the Wine tests will run the 64-bit build"
expect fresh "setup: the Windows part is ready"
grep -qx i386 "$work/arches" || fail fresh "i386 not enabled"

# Run again: only the 32-bit Wine is still missing, and is tried once more.
run_setup again 0 STUB_BROKEN=wine32:i386
expect again "setup: installing wine32:i386"
[ "$(grep -c '^setup: installing' "$work/again.out")" = 1 ] || fail again "installed more than wine32"

[ "$failures" = 0 ] && echo "setup decisions: all held"
exit $((failures > 0))
