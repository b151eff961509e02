#!/bin/bash
# Checks the ZIP a Windows player downloads: the three programs (as check_pe.sh wants them) and the
# players' guide, nothing else; the guide opens as text on Windows (UTF-8 with a byte-order mark,
# CR LF line ends) and tells where each program goes and how each step is undone.
#   tests/wine/check_package.sh vnaudio-<version>-win32.zip
set -u
here=$(cd "$(dirname "$0")" && pwd)
zip=${1:-}
if [ ! -f "$zip" ]; then
    echo "FAIL  package: no such file: $zip"
    exit 1
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/vnaudio-package.XXXXXX")
trap 'rm -rf "$dir"' EXIT
problems=()
[[ $(basename "$zip") =~ ^vnaudio-[0-9]+\.[0-9]+\.[0-9]+-win32\.zip$ ]] || problems+=("named $(basename "$zip")")
if ! python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$dir"; then
    problems+=("not a ZIP archive")
fi
listing=$(cd "$dir" && find . -mindepth 1 | sed 's|^\./||' | sort | tr '\n' ' ')
[ "$listing" = "drusel.exe players-guide.txt plovenak.exe tormel.exe " ] || problems+=("holds: $listing")
if [ -f "$dir/tormel.exe" ] && ! report=$(bash "$here/check_pe.sh" "$dir"); then
    problems+=("programs: $(grep FAIL <<<"$report" | tr '\n' ' ')")
fi
guide=$dir/players-guide.txt
if [ -f "$guide" ]; then
    python3 - "$guide" <<'PY' || problems+=("guide: see above")
import sys
data = open(sys.argv[1], 'rb').read()
problems = []
if not data.startswith(b'\xef\xbb\xbf'):
    problems.append('no UTF-8 byte-order mark')
text = data[3:].decode('utf-8', 'replace')
if '\n' in text.replace('\r\n', '') or '\r' in text.replace('\r\n', ''):
    problems.append('a line end that is not CR LF')
# Where each program goes, in order, and how each step is undone.
order = [text.find(name) for name in ('tormel.exe', 'plovenak.exe', 'drusel.exe')]
if -1 in order or order != sorted(order):
    problems.append('the programs are not all named in the order they are run')
for needed in ('GAMEEXE.org', 'koe_restore.reg', 'koewav', 'Undo', '元に戻す'):
    if needed not in text:
        problems.append('does not mention %s' % needed)
for problem in problems:
    print('      guide: ' + problem)
sys.exit(1 if problems else 0)
PY
fi
if [ ${#problems[@]} -eq 0 ]; then
    echo "ok    package $(basename "$zip"): the three programs and the players' guide"
    exit 0
fi
printf 'FAIL  package %s: %s\n' "$(basename "$zip")" "$(IFS=';'; echo "${problems[*]}")"
exit 1
