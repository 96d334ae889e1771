#!/usr/bin/env bash
# Makes the package from a built tree and checks it: lintian, its contents, the programs run
# from an unpacked copy, the desktop entry, the polkit action, and the launcher's root side
# giving the files it makes back to the user.
# usage: check-package.sh BUILD_DIR CPACK VERSION SOURCE_DIR
set -euo pipefail
build=$1 cpack=$2 version=$3 source=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb=$work/out/zelkova-user-client_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb: $(ls "$work/out")"

echo "== lintian"
lintian_rc=0
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || lintian_rc=$?
grep -v 'root privileges' "$work/lintian.log" || true
[ "$lintian_rc" = 0 ] || fail "lintian reports errors"

echo "== contents"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | awk '{print $1}' >"$work/depends"
for d in libc6 libqt6widgets6 zlib1g pkexec; do
    grep -qx "$d" "$work/depends" || fail "Depends lacks $d"
done
dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
expect=(/usr/share/applications/zelkova-user-client.desktop
        /usr/share/icons/hicolor/scalable/apps/zelkova-user-client.svg
        /usr/share/polkit-1/actions/example.zelkova.user-client.policy
        /usr/share/doc/zelkova-user-client/copyright
        /usr/share/doc/zelkova-user-client/changelog.gz)
while read -r p; do
    expect+=("/usr/bin/$p" "/usr/share/man/man1/$p.1.gz")
done <"$build/packaging/programs.txt"
for p in zelkova-user-client zelkova-wire zelkova-ata zelkova-service-sim; do
    grep -qx "$p" "$build/packaging/programs.txt" || fail "program $p not in the build"
done
while read -r r; do
    expect+=("/usr/share/zelkova-user-client/$r")
done < <(cd "$source/app/resources" && find . -type f | sed 's|^\./||')
for f in "${expect[@]}"; do
    grep -qx "$f" "$work/contents" || fail "the package lacks $f"
done
echo "${#expect[@]} files present"

echo "== unpacked"
root=$work/root
dpkg-deb -x "$deb" "$root"
key=$("$root/usr/bin/zelkova-wire" builtin-key)
[[ $key =~ ^[0-9a-f]{112}$ ]] || fail "builtin-key printed '$key'"
"$root/usr/bin/zelkova-ata" --help >/dev/null || fail "zelkova-ata --help"
[ "$("$root/usr/bin/zelkova-user-client" --version)" = "zelkova-user-client $version" ] ||
    fail "zelkova-user-client --version"
for p in $(cat "$build/packaging/programs.txt"); do
    man -l "$root/usr/share/man/man1/$p.1.gz" 2>&1 >/dev/null | grep . && fail "man page of $p"
done
desktop=$root/usr/share/applications/zelkova-user-client.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$root/usr/bin/$exec_program" ] || fail "the desktop entry runs $exec_program"
policy=$root/usr/share/polkit-1/actions/example.zelkova.user-client.policy
xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy" ||
    fail "the polkit action does not parse"
grep -q '"org.freedesktop.policykit.exec.path">/usr/bin/zelkova-user-client-launch<' "$policy" ||
    fail "exec.path"
grep -q '"org.freedesktop.policykit.exec.allow_gui">true<' "$policy" || fail "allow_gui"

echo "== launcher, root side"
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root"
    exit 0
fi
# The packaged launcher next to a stand-in client that records what it was given, writes
# into the data directory like the client and ends on SIGTERM with status 3.
mkdir "$work/bin"
cp "$root/usr/bin/zelkova-user-client-launch" "$work/bin/"
cat >"$work/bin/zelkova-user-client" <<'STANDIN'
#!/bin/sh
dir=$2
trap 'echo closed >"$dir/logs/closed.log"; exit 3' TERM
printf 'args=%s\nDISPLAY=%s\nXDG_RUNTIME_DIR=%s\n' "$*" "$DISPLAY" "$XDG_RUNTIME_DIR" >"$dir/seen"
mkdir -p "$dir/logs"
echo started >"$dir/logs/run.log"
while :; do sleep 0.1; done
STANDIN
chmod 755 "$work/bin/zelkova-user-client"
data=$work/data
mkdir -m 700 "$data"
chown 65534:65534 "$data"
PKEXEC_UID=65534 "$work/bin/zelkova-user-client-launch" --root --data-dir "$data" \
    --env DISPLAY=:7 --env XDG_RUNTIME_DIR=/run/user/65534 &
launcher=$!
for _ in $(seq 50); do
    [ "$(stat -c %u "$data/logs/run.log" 2>/dev/null)" = 65534 ] && break
    sleep 0.1
done
[ "$(stat -c %u "$data/logs/run.log" 2>/dev/null)" = 65534 ] ||
    fail "files made while the client runs stay root's"
kill -TERM "$launcher"
rc=0
wait "$launcher" || rc=$?
[ "$rc" = 3 ] || fail "the launcher ended with $rc, not the client's 3"
grep -qx "args=--data-dir $data" "$data/seen" || fail "client arguments: $(cat "$data/seen")"
grep -qx 'DISPLAY=:7' "$data/seen" || fail "DISPLAY not passed"
grep -qx 'XDG_RUNTIME_DIR=/run/user/65534' "$data/seen" || fail "XDG_RUNTIME_DIR not passed"
left=$(find "$data" ! -uid 65534)
[ -z "$left" ] || fail "left root's: $left"
echo "package checks passed"
