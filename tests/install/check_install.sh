#!/usr/bin/env bash
# check_install.sh BUILD_DIR SOURCE_DIR VERSION
# Installs the build into a temporary prefix, compares the installed files with the list a
# release promises, runs desktop-file-validate, appstreamcli and man over them, and checks
# that the pieces name each other correctly. Exits 77 (skipped) when a validator is missing
# and nothing else failed.
set -uo pipefail
build=$1 source=$2 version=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/usr
status=0
missing_tools=()
fail() { echo "FAIL: $*"; status=1; }

if ! cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
    cat "$scratch/install.log"
    echo "FAIL: cmake --install (build oxlume, oxlume-convert and oxlume_data first)"
    exit 1
fi

# Every installed file, and nothing else.
viewer_dir=$(sed -n 's/^OXLUME_VIEWER_LIBRARY_DIR:INTERNAL=//p' "$build/CMakeCache.txt")
expected="bin/oxlume
bin/oxlume-convert
${viewer_dir:-lib/oxlume}/liboxlume-viewer.so
share/applications/oxlume.desktop
share/doc/oxlume/LICENSE
share/doc/oxlume/README.md
share/icons/hicolor/scalable/apps/oxlume.svg
share/man/man1/oxlume-convert.1.gz
share/man/man1/oxlume.1.gz
share/metainfo/io.github.oxlume.Oxlume.metainfo.xml"
for size in 16 22 24 32 48 64 128 256; do
    expected+=$'\n'"share/icons/hicolor/${size}x${size}/apps/oxlume.png"
done
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
expected=$(LC_ALL=C sort <<<"$expected")
if [ "$actual" != "$expected" ]; then
    fail "installed files differ from the expected list:"
    diff <(echo "$expected") <(echo "$actual")
fi

desktop=$prefix/share/applications/oxlume.desktop
metainfo=$prefix/share/metainfo/io.github.oxlume.Oxlume.metainfo.xml

# run_validator TOOL ARGS...: any message counts, a warning included.
run_validator() {
    if ! command -v "$1" >/dev/null; then
        missing_tools+=("$1")
        return
    fi
    local out
    if ! out=$("$@" 2>&1) || { [ "$1" = desktop-file-validate ] && [ -n "$out" ]; }; then
        fail "$*"
        echo "$out"
    fi
}
run_validator desktop-file-validate "$desktop"
run_validator appstreamcli validate --no-net "$metainfo"
if command -v man >/dev/null && command -v groff >/dev/null; then
    for page in "$prefix"/share/man/man1/*.1.gz; do
        # As lintian checks pages: every troff warning is printed on stderr.
        warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
                   man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
        if [ -n "$warnings" ]; then
            fail "man --warnings $(basename "$page")"
            echo "$warnings"
        fi
    done
else
    missing_tools+=(man)
fi

# The entry, the icon and the metainfo must name each other and the installed program.
field() { sed -n "s/^$1=//p" "$desktop"; }
[ -x "$prefix/bin/$(field TryExec)" ] || fail "TryExec names no installed program"
[ "$(field Exec | cut -d' ' -f1)" = "$(field TryExec)" ] || fail "Exec and TryExec differ"
[ -f "$prefix/share/icons/hicolor/scalable/apps/$(field Icon).svg" ] || fail "Icon has no file"
grep -q "<launchable type=\"desktop-id\">oxlume.desktop</launchable>" "$metainfo" ||
    fail "metainfo does not launch oxlume.desktop"
desktop_types=$(field MimeType | tr ';' '\n' | sed '/^$/d' | LC_ALL=C sort)
metainfo_types=$(sed -n 's|.*<mediatype>\(.*\)</mediatype>.*|\1|p' "$metainfo" | LC_ALL=C sort)
if [ "$desktop_types" != "$metainfo_types" ]; then
    fail "MimeType of the entry and mediatypes of the metainfo differ:"
    diff <(echo "$desktop_types") <(echo "$metainfo_types")
fi
# A new version needs its release notes in the metainfo and in the Debian changelog.
newest_release=$(grep -m1 -o '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2)
[ "$newest_release" = "$version" ] || fail "newest metainfo release $newest_release, not $version"
changelog_version=$(head -n1 "$source/packaging/debian/changelog" | sed -n 's/^oxlume (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$version" ] || fail "Debian changelog is at $changelog_version, not $version"

# The installed programs run from the prefix, without the build tree and without a display.
no_display=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM
            XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data"
            XDG_RUNTIME_DIR="$scratch/runtime" timeout 20)
info=$("${no_display[@]}" "$prefix/bin/oxlume-convert" --info "$source/samples/sunset.jpg" 2>&1)
[[ $info == "JPEG "* ]] || fail "installed oxlume-convert --info: $info"
out=$("${no_display[@]}" "$prefix/bin/oxlume-convert" --version 2>&1)
[[ $out == "oxlume-convert $version" ]] || fail "oxlume-convert --version printed: $out"
# --help and --version must not need a display; older builds without them would open a
# window, so they are run only when the program knows them.
if grep -q -a -- '--version' "$prefix/bin/oxlume"; then
    for option in --help --version; do
        out=$("${no_display[@]}" "$prefix/bin/oxlume" "$option" 2>&1) ||
            fail "oxlume $option without a display exited $?: $out"
    done
    out=$("${no_display[@]}" "$prefix/bin/oxlume" --version 2>/dev/null)
    [[ $out == "oxlume $version"* ]] || fail "oxlume --version printed: $out"
else
    echo "note: this oxlume has no --version yet; --help/--version not checked"
fi
# The installed program finds its viewer library: -uninstall loads it and needs no display.
out=$("${no_display[@]}" "$prefix/bin/oxlume" -uninstall 2>&1) ||
    fail "installed oxlume -uninstall exited $?: $out"

if [ $status -ne 0 ]; then
    exit $status
fi
if [ ${#missing_tools[@]} -gt 0 ]; then
    echo "SKIP: not installed: ${missing_tools[*]} (scripts/install-deps.sh --test)"
    exit 77
fi
echo "installed files and validators: all fine"
