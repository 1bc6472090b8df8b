#!/usr/bin/env bash
# Checks the packages that scripts/package.sh wrote into dist/: each Debian
# package's fields, files, programs (hardening, C library versions) and
# lintian's verdict, the Windows zip's files, program and README, and the
# licence wherever it is stated. Prints one line per failed check; status 1
# if any failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build/CMakeCache.txt")
arches=(amd64 arm64 armhf)
# The oldest C library the packages must install with: Ubuntu 22.04's.
oldest_libc=2.35
zip="$root/dist/loggerdump-${version}-win32.zip"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "package check: $*" >&2
  failures=$((failures + 1))
}
expect_match() {  # what, text, extended regular expression
  grep -Eq -- "$3" <<<"$2" || fail "$1 is '$2', expected /$3/"
}
version_le() {  # true when version $1 is at most $2
  [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -n 1)" = "$2" ]
}
# The time stamp every packaged file carries: the last commit's, as
# scripts/package.sh takes it when SOURCE_DATE_EPOCH is unset.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
stamp=$(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M')
command -v lintian >/dev/null || fail "lintian is missing; run scripts/setup.sh"

[ -n "$version" ] || fail "no project version in build/CMakeCache.txt"
[ -f "$zip" ] || { fail "$zip is missing"; exit 1; }

# The licence: the MIT licence's copyright line, the same everywhere.
copyright_line=$(grep -m1 '^Copyright (c) ' "$root/LICENSE")
[ "$copyright_line" = "Copyright (c) 2026 the loggerdump developers" ] ||
  fail "LICENSE's copyright line is '$copyright_line'"
grep -q '^MIT License$' "$root/LICENSE" || fail "LICENSE is not the MIT licence"
grep -qE '^\*\*Licence:\*\* .*MIT' "$root/README.md" || fail "README.md has no licence line"

check_deb() {  # architecture
  local arch=$1 deb="$root/dist/loggerdump_${version}_$1.deb" dir="$work/$1"
  [ -f "$deb" ] || { fail "$deb is missing"; return; }
  # Control fields.
  expect_match "$arch: Package" "$(dpkg-deb -f "$deb" Package)" '^loggerdump$'
  expect_match "$arch: Version" "$(dpkg-deb -f "$deb" Version)" "^${version//./\\.}\$"
  expect_match "$arch: Architecture" "$(dpkg-deb -f "$deb" Architecture)" "^$arch\$"
  # The C++ runtime is linked in: the C library is the only dependency, in a
  # version that Ubuntu 22.04 has.
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  expect_match "$arch: Depends" "$depends" '^libc6 \(>= [0-9.]+\)$'
  version_le "$(sed 's/.*>= \([0-9.]*\))/\1/' <<<"$depends")" "$oldest_libc" ||
    fail "$arch: Depends is '$depends', newer than libc6 $oldest_libc"
  expect_match "$arch: Section" "$(dpkg-deb -f "$deb" Section)" '^[a-z]+$'
  expect_match "$arch: Maintainer" "$(dpkg-deb -f "$deb" Maintainer)" '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$'
  local description
  description=$(dpkg-deb -f "$deb" Description)
  expect_match "$arch: Description's first line" "$(head -n 1 <<<"$description")" '^[a-z].{10,79}$'
  [ "$(wc -l <<<"$description")" -ge 3 ] || fail "$arch: the Description has no long text"

  # Its files, exactly, owned by root and stamped with the release's time.
  local files expected doc=./usr/share/doc/loggerdump man1=./usr/share/man/man1
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
  local notes=("$root"/docs/*.md)
  expected=$(printf '%s\n' ./usr/bin/loggerdump ./usr/bin/loggersim "$doc/README.md.gz" \
    "$doc/changelog.gz" "$doc/copyright" "$man1/loggerdump.1.gz" "$man1/loggersim.1.gz" \
    "${notes[@]/#$root\/docs/$doc/docs}" | sort)
  [ "$files" = "$expected" ] || fail "the $arch .deb holds"$'\n'"$files"$'\n'"expected"$'\n'"$expected"
  dpkg-deb -c "$deb" | awk '{print $2}' | grep -vqx 'root/root' && fail "$arch: files not owned by root"
  dpkg-deb -c "$deb" | awk '{print $4 " " $5}' | grep -vqx "$stamp" &&
    fail "$arch: files not stamped $stamp (the last commit)"

  # Its programs, unpacked: hardened, and needing nothing newer than the
  # oldest C library.
  dpkg-deb -x "$deb" "$dir" || fail "$arch: dpkg-deb -x failed"
  local program file needed newest symbols
  for program in loggerdump loggersim; do
    file="$dir/usr/bin/$program"
    # Read whole, not piped into grep -q: an early grep would stop readelf
    # with SIGPIPE, and pipefail take that for a failed check.
    symbols=$(readelf --dyn-syms -W "$file")
    # The C library's own parts only (the dynamic loader comes with it).
    needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
    expect_match "$arch: $program's libraries" "$needed" '^(ld-linux[-a-z0-9_]*\.so\.[0-9] |libc\.so\.6 |libm\.so\.6 )+$'
    newest=$(readelf -V "$file" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n 1)
    version_le "$newest" "$oldest_libc" || fail "$arch: $program needs GLIBC_$newest"
    grep -q 'Type: *DYN' <<<"$(readelf -h "$file")" || fail "$arch: $program is no PIE"
    grep -q GNU_RELRO <<<"$(readelf -lW "$file")" || fail "$arch: $program has no RELRO"
    grep -q 'FLAGS.*NOW' <<<"$(readelf -d "$file")" || fail "$arch: $program is not bound at start (BIND_NOW)"
    grep -q '__[a-z]*_chk@' <<<"$symbols" || fail "$arch: $program calls no checked functions"
    grep -q '__stack_chk_fail@' <<<"$symbols" || fail "$arch: $program has no stack protector"
    grep -qaF "$root" "$file" && fail "$arch: $program holds the path of the source tree"
  done
  # The programs answer, natively or under qemu-user.
  local run=()
  case $arch in
    arm64) run=(qemu-aarch64) ;;
    armhf) run=(qemu-arm) ;;
  esac
  if [ ${#run[@]} -eq 0 ] || command -v "${run[0]}" >/dev/null; then
    local answer
    answer=$("${run[@]}" "$dir/usr/bin/loggerdump" --version 2>&1)
    [ "$answer" = "loggerdump $version" ] || fail "$arch: loggerdump --version says '$answer'"
    answer=$("${run[@]}" "$dir/usr/bin/loggersim" --version 2>&1)
    [ "$answer" = "loggersim $version" ] || fail "$arch: loggersim --version says '$answer'"
  else
    fail "$arch: ${run[0]} is missing; run scripts/setup.sh"
  fi

  # lintian: nothing at E and W, and no hardening tag even at -I.
  if command -v lintian >/dev/null; then
    local verdict
    verdict=$(lintian --pedantic -I --tag-display-limit 0 "$deb" 2>&1 | grep -v 'root privileges')
    grep -E '^[EW]: |hardening' <<<"$verdict" && fail "$arch: lintian:"$'\n'"$verdict"
  fi
}

for arch in "${arches[@]}"; do
  check_deb "$arch"
done

# The documents, from the amd64 package: both man pages, the changelog, the
# README and the copyright file.
docs="$work/amd64/usr/share"
man=$(gzip -dc "$docs/man/man1/loggerdump.1.gz" | sed 's/\\-/-/g') || fail "loggerdump.1.gz is no gzip file"
expect_match "the man page's title" "$(head -n 1 <<<"$man")" "^\\.TH LOGGERDUMP 1 .*loggerdump ${version//./\\.}"
for topic in --port --dir --list --lang --summary --help --version dialout 'EXIT STATUS' logger.bin; do
  grep -qF -- "$topic" <<<"$man" || fail "the man page does not mention $topic"
done
simman=$(gzip -dc "$docs/man/man1/loggersim.1.gz" | sed 's/\\-/-/g') || fail "loggersim.1.gz is no gzip file"
expect_match "loggersim's man page's title" "$(head -n 1 <<<"$simman")" "^\\.TH LOGGERSIM 1 .*loggerdump ${version//./\\.}"
# loggersim --help: on standard output, status 0; every option it names, the
# man page describes.
simhelp=$("$work/amd64/usr/bin/loggersim" --help 2>/dev/null) || fail "loggersim --help ends with status $?"
expect_match "loggersim --help's first line" "$(head -n 1 <<<"$simhelp")" '^usage: loggersim '
for option in $(grep -oE -- '--[a-z-]+' <<<"$simhelp" | sort -u); do
  grep -qF -- "$option" <<<"$simman" || fail "loggersim's man page does not mention $option"
done
changelog=$(gzip -dc "$docs/doc/loggerdump/changelog.gz") || fail "changelog.gz is no gzip file"
expect_match "the changelog's newest version" "$(dpkg-parsechangelog -l- -S Version <<<"$changelog")" "^${version//./\\.}\$"
gzip -dc "$docs/doc/loggerdump/README.md.gz" | cmp -s - "$root/README.md" ||
  fail "README.md.gz is not README.md"
# Each of the README's links into docs/ leads to a file installed beside it.
for link in $(grep -oE '\]\(docs/[^)#]+' "$root/README.md" | cut -c3- | sort -u); do
  [ -f "$docs/doc/loggerdump/$link" ] || fail "the README's link $link leads to no installed file"
done
copyright="$docs/doc/loggerdump/copyright"
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright" ||
  fail "the copyright file is not in Debian's machine-readable format"
grep -qx 'License: Expat' "$copyright" || fail "the copyright file names no MIT (Expat) licence"
grep -qx "Copyright: ${copyright_line#Copyright (c) }" "$copyright" ||
  fail "the copyright file does not name the holder of LICENSE"

# The Windows zip: its files, exactly.
listing=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
[ "$listing" = "README.txt loggerdump.exe " ] || fail "the zip holds '$listing'"
unzip -q "$zip" -d "$work/zip" || fail "unzip failed"
exe="$work/zip/loggerdump.exe"
expect_match "loggerdump.exe" "$(file -b "$exe")" '^PE32 executable \(console\) Intel 80386'
# The version resource, as Explorer's Properties read it.
resource=$(i686-w64-mingw32-windres -i "$exe" -O rc 2>&1)
IFS=. read -r major minor patch <<<"$version"
for entry in "FILEVERSION $major, $minor, $patch, 0" "PRODUCTVERSION $major, $minor, $patch, 0" \
  "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
  'VALUE "ProductName", "loggerdump"' 'VALUE "FileDescription"' \
  "VALUE \"LegalCopyright\", \"$copyright_line\""; do
  grep -qF -- "$entry" <<<"$resource" || fail "the version resource lacks $entry"
done
# README.txt: a UTF-8 byte order mark, CR LF line ends only, Japanese first,
# then English.
readme="$work/zip/README.txt"
[ "$(head -c 3 "$readme" | od -An -tx1 | tr -d ' \n')" = "efbbbf" ] ||
  fail "README.txt does not begin with the UTF-8 byte order mark"
[ "$(grep -c $'\r$' "$readme")" = "$(wc -l <"$readme")" ] || fail "README.txt has lines without CR LF"
grep -q $'\r\r' "$readme" && fail "README.txt has a doubled CR"
japanese=$(grep -n -m1 '使い方' "$readme" | cut -d: -f1)
english=$(grep -n -m1 '^Use' "$readme" | cut -d: -f1)
[ -n "$japanese" ] && [ -n "$english" ] && [ "$japanese" -lt "$english" ] ||
  fail "README.txt is not Japanese first, then English"

# The README's install commands name these very files.
for name in "${arches[@]/#/loggerdump_${version}_}" "$(basename "$zip")"; do
  grep -qF "$name" "$root/README.md" || fail "README.md does not name $name"
done

if [ "$failures" -gt 0 ]; then
  echo "package check: $failures check(s) failed" >&2
  exit 1
fi
echo "package check: the .deb files for ${arches[*]} and $(basename "$zip") are as they should be"
