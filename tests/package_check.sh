#!/usr/bin/env bash
# Checks the packages that scripts/package.sh wrote into dist/: the Debian
# package's fields, files and programs, and the Windows zip's files, program
# and README. Prints one line per failed check; status 1 if any failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb="$root/dist/loggerdump_${version}_${arch}.deb"
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

[ -n "$version" ] || fail "no project version in build/CMakeCache.txt"
[ -f "$deb" ] || { fail "$deb is missing"; exit 1; }
[ -f "$zip" ] || { fail "$zip is missing"; exit 1; }

# The Debian package: control fields.
expect_match Package "$(dpkg-deb -f "$deb" Package)" '^loggerdump$'
expect_match Version "$(dpkg-deb -f "$deb" Version)" "^${version//./\\.}\$"
expect_match Architecture "$(dpkg-deb -f "$deb" Architecture)" "^$arch\$"
# The C++ runtime is linked in: the C library is the only dependency.
expect_match Depends "$(dpkg-deb -f "$deb" Depends)" '^libc6 \(>= [0-9.]+\)$'
expect_match Section "$(dpkg-deb -f "$deb" Section)" '^[a-z]+$'
expect_match Maintainer "$(dpkg-deb -f "$deb" Maintainer)" '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$'
description=$(dpkg-deb -f "$deb" Description)
expect_match "Description's first line" "$(head -n 1 <<<"$description")" '^[a-z].{10,79}$'
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "the Description has no long text"

# Its files, exactly.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
expected=$(printf '%s\n' ./usr/bin/loggerdump ./usr/bin/loggersim \
  ./usr/share/doc/loggerdump/README.md ./usr/share/doc/loggerdump/copyright \
  ./usr/share/man/man1/loggerdump.1.gz | sort)
[ "$files" = "$expected" ] || fail "the .deb holds"$'\n'"$files"$'\n'"expected"$'\n'"$expected"
dpkg-deb -c "$deb" | awk '{print $2}' | grep -vqx 'root/root' && fail "files not owned by root"

# Its programs and man page, unpacked.
dpkg-deb -x "$deb" "$work/deb" || fail "dpkg-deb -x failed"
answer=$("$work/deb/usr/bin/loggerdump" --version 2>&1)
[ "$answer" = "loggerdump $version" ] || fail "loggerdump --version says '$answer'"
for program in loggerdump loggersim; do
  # The C library's own parts only (the dynamic loader comes with it).
  needed=$(objdump -p "$work/deb/usr/bin/$program" | awk '/NEEDED/ {print $2}' | sort | tr '\n' ' ')
  expect_match "$program's libraries" "$needed" '^(ld-linux[-a-z0-9_]*\.so\.[0-9] |libc\.so\.6 |libm\.so\.6 )+$'
done
man=$(gzip -dc "$work/deb/usr/share/man/man1/loggerdump.1.gz" | sed 's/\\-/-/g') || fail "loggerdump.1.gz is no gzip file"
expect_match "the man page's title" "$(head -n 1 <<<"$man")" "^\\.TH LOGGERDUMP 1 .*loggerdump ${version//./\\.}"
for topic in --port --dir --list --help --version dialout 'EXIT STATUS' logger.bin; do
  grep -qF -- "$topic" <<<"$man" || fail "the man page does not mention $topic"
done

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
  'VALUE "ProductName", "loggerdump"' 'VALUE "FileDescription"'; do
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
for name in "$(basename "$deb")" "$(basename "$zip")"; do
  grep -qF "$name" "$root/README.md" || fail "README.md does not name $name"
done

if [ "$failures" -gt 0 ]; then
  echo "package check: $failures check(s) failed" >&2
  exit 1
fi
echo "package check: $(basename "$deb") and $(basename "$zip") are as they should be"
