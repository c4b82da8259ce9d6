#!/usr/bin/env bash
# install_test.sh CMAKE BUILD VERSION: installs the build into a fresh prefix and checks what a
# user gets there: the programs, a manual page for each that renders without a warning, the
# README with every file it links to, nothing else, and a viewer that answers --help and
# --version without a display.
set -euo pipefail
cmake=$1
build=$2
version=$3
programs=(galaxy-viewer galaxy-render galaxy-import galaxy-generate)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
warnings="$work/warnings"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

fail() {
    echo "install_test: $*" >&2
    exit 1
}

docs="$prefix/share/doc/galaxy-viewer"
for program in "${programs[@]}"; do
    [[ -x "$prefix/bin/$program" ]] || fail "bin/$program not installed"
    page="$prefix/share/man/man1/$program.1.gz"
    [[ -f "$page" ]] || fail "no manual page $page"
    text=$(MANWIDTH=80 man --warnings -l "$page" 2>"$warnings") || fail "man -l $page failed"
    [[ ! -s "$warnings" ]] || fail "$page: $(cat "$warnings")"
    grep -q "^NAME" <<<"$text" || fail "$page has no NAME section"
    grep -q "^ *$program - " <<<"$text" || fail "$page does not name $program"
    grep -q "^OPTIONS" <<<"$text" || fail "$page has no OPTIONS section"
    grep -q -- "--help" <<<"$text" || fail "$page lists no --help"
    grep -q "$program $version" <<<"$text" || fail "$page does not show version $version"
done

[[ -f "$docs/README.md" ]] || fail "no README.md in $docs"
while read -r link; do
    [[ -f "$docs/$link" ]] || fail "README links to $link, not installed"
done < <(grep -o '](docs/[^)]*)' "$docs/README.md" | sed 's/^](//; s/)$//')

unexpected=$(cd "$prefix" && find . -type f ! -path './bin/*' ! -path './share/man/man1/*' \
    ! -path './share/doc/galaxy-viewer/*')
[[ -z "$unexpected" ]] || fail "installed beyond bin, man1 and the documentation: $unexpected"

# Neither needs a screen: no display variable, no SDL driver.
viewer=(env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER "$prefix/bin/galaxy-viewer")
[[ "$("${viewer[@]}" --version)" == "galaxy-viewer $version" ]] || fail "galaxy-viewer --version"
help=$("${viewer[@]}" --help) || fail "galaxy-viewer --help failed"
grep -q -- "--version" <<<"$help" || fail "galaxy-viewer --help does not list --version"
echo "install_test: ${#programs[@]} programs, their manual pages and the README in $prefix"
