#!/usr/bin/env bash
# Makes the package from a built tree and checks it: lintian, its contents, the programs run
# from an unpacked copy, the desktop entry, the polkit actions, the launcher's root side
# giving the files it makes back to the user, and a signed update installed through pkexec.
# usage: check-package.sh BUILD_DIR CPACK VERSION SOURCE_DIR
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

# The launcher next to a stand-in client (in STAGE) that records what it was given, writes
# into the data directory like the client and ends on SIGTERM with status 3. Runs COMMAND...,
# which starts the launcher, and checks that the files are the user's while the client runs
# and after, that the display and data directory arrived and that the status came back.
standin_run() {
    local stage=$1 data=$2
    shift 2
    cat >"$stage/zelkova-user-client" <<'STANDIN'
#!/bin/sh
dir=$2
trap 'echo closed >"$dir/logs/closed.log"; exit 3' TERM
printf 'args=%s\nuid=%s\nDISPLAY=%s\nXDG_RUNTIME_DIR=%s\n' "$*" "$(id -u)" "$DISPLAY" \
    "$XDG_RUNTIME_DIR" >"$dir/seen"
mkdir -p "$dir/logs"
echo started >"$dir/logs/run.log"
while :; do sleep 0.1; done
STANDIN
    chmod 755 "$stage/zelkova-user-client"
    "$@" &
    local launcher=$! rc=0
    for _ in $(seq 100); do
        [ "$(stat -c %u "$data/logs/run.log" 2>/dev/null)" = 65534 ] && break
        sleep 0.1
    done
    [ "$(stat -c %u "$data/logs/run.log" 2>/dev/null)" = 65534 ] ||
        { kill -TERM "$launcher"; fail "files made while the client runs are not the user's"; }
    kill -TERM "$launcher"
    wait "$launcher" || rc=$?
    [ "$rc" = 3 ] || fail "the launcher ended with $rc, not the client's 3"
    grep -qx "args=--data-dir $data" "$data/seen" || fail "client arguments: $(cat "$data/seen")"
    grep -qx 'uid=0' "$data/seen" || fail "the client did not run as root"
    grep -qx 'DISPLAY=:7' "$data/seen" || fail "DISPLAY not passed"
    grep -qx 'XDG_RUNTIME_DIR=/run/user/65534' "$data/seen" || fail "XDG_RUNTIME_DIR not passed"
    local left
    left=$(find "$data" ! -uid 65534)
    [ -z "$left" ] || fail "left root's: $left"
}

# Inside a private mount namespace: a system bus and polkitd of its own, a rule that lets user
# nobody run the action without a password, the package's launcher and action laid over
# /usr/bin and the actions folder; then the user's side goes through the real pkexec.
if [ "${1:-}" = --pkexec-chain ]; then
    root=$2 work=$3
    mount -t tmpfs tmpfs /run/dbus
    mkdir "$work/rules" "$work/stage"
    cat >"$work/rules/10-zelkova-test.rules" <<'RULE'
polkit.addRule(function(action, subject) {
    if (action.id == "example.zelkova.user-client.run" && subject.user == "nobody")
        return polkit.Result.YES;
});
RULE
    mount --bind "$work/rules" /etc/polkit-1/rules.d
    cp "$root/usr/bin/zelkova-user-client-launch" "$work/stage/"
    mount -t overlay overlay -o "lowerdir=$work/stage:/usr/bin" /usr/bin
    mount -t overlay overlay \
        -o "lowerdir=$root/usr/share/polkit-1/actions:/usr/share/polkit-1/actions" \
        /usr/share/polkit-1/actions
    dbus-daemon --system --nofork --nopidfile &
    bus=$!
    for _ in $(seq 50); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.1; done
    /usr/lib/polkit-1/polkitd --no-debug >"$work/polkitd.log" 2>&1 &
    polkitd=$!
    trap 'kill "$polkitd" "$bus" 2>/dev/null || true; wait' EXIT
    for _ in $(seq 50); do
        pkaction --action-id example.zelkova.user-client.run >/dev/null 2>&1 && break
        sleep 0.1
    done
    pkaction --action-id example.zelkova.user-client.run --verbose |
        grep -q 'exec.path -> /usr/bin/zelkova-user-client-launch' ||
        fail "polkitd does not know the action: $(cat "$work/polkitd.log")"
    home=$work/home
    mkdir "$home"
    chown 65534:65534 "$home"
    standin_run "$work/stage" "$home/.config/zelkova-user-client" \
        setpriv --reuid=65534 --regid=65534 --clear-groups env -i HOME="$home" DISPLAY=:7 \
        XDG_RUNTIME_DIR=/run/user/65534 PATH=/usr/bin:/bin zelkova-user-client-launch
    exit 0
fi

# Inside a private mount namespace whose /usr and /var are overlays that vanish with it: the
# package's zelkova-update with a throwaway key as its shipped keyring, a system bus and polkitd
# of its own, a rule that lets user nobody run the update action without a password. Then
# nobody's side of the hand-over goes through the real pkexec: a tampered package is refused, a
# properly signed newer one is installed by apt-get, and the client is started again as nobody.
if [ "${1:-}" = --update-chain ]; then
    root=$2 work=$3
    mount -t tmpfs tmpfs "$work/ov"
    for d in usr var; do
        mkdir -p "$work/ov/$d-up" "$work/ov/$d-work"
        mount -t overlay overlay \
            -o "lowerdir=/$d,upperdir=$work/ov/$d-up,workdir=$work/ov/$d-work" "/$d"
    done
    mount -t tmpfs tmpfs /run/dbus
    cp "$root/usr/bin/zelkova-update" /usr/bin/zelkova-update
    mkdir -p /usr/share/zelkova-user-client
    cp "$work/key/keyring.gpg" /usr/share/zelkova-user-client/update-keyring.gpg
    cp "$root"/usr/share/polkit-1/actions/*.policy /usr/share/polkit-1/actions/
    mkdir "$work/rules"
    cat >"$work/rules/10-zelkova-test.rules" <<'RULE'
polkit.addRule(function(action, subject) {
    if (action.id == "example.zelkova.user-client.update" && subject.user == "nobody")
        return polkit.Result.YES;
});
RULE
    mount --bind "$work/rules" /etc/polkit-1/rules.d
    dbus-daemon --system --nofork --nopidfile &
    bus=$!
    for _ in $(seq 50); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.1; done
    /usr/lib/polkit-1/polkitd --no-debug >"$work/polkitd.log" 2>&1 &
    polkitd=$!
    trap 'kill "$polkitd" "$bus" 2>/dev/null || true; wait' EXIT
    for _ in $(seq 50); do
        pkaction --action-id example.zelkova.user-client.update >/dev/null 2>&1 && break
        sleep 0.1
    done
    pkaction --action-id example.zelkova.user-client.update --verbose |
        grep -q 'exec.path -> /usr/bin/zelkova-update' ||
        fail "polkitd does not know the update action: $(cat "$work/polkitd.log")"
    as_nobody() {
        setpriv --reuid=65534 --regid=65534 --clear-groups env -i HOME="$work/home" \
            PATH=/usr/bin:/bin "$@"
    }
    home=$work/home
    dpkg-query -W zelkova-user-client >/dev/null 2>&1 && fail "the client is installed already"
    rc=0
    as_nobody zelkova-update "$home/lock" "$home/tampered.deb /SP- /SILENT /NOCANCEL" \
        /usr/bin/touch "$home/restarted-1" 2>"$work/tampered.log" || rc=$?
    [ "$rc" = 1 ] || fail "a tampered package: exit $rc: $(cat "$work/tampered.log")"
    grep -q 'zelkova-update: refused: the signature does not match' "$work/tampered.log" ||
        fail "a tampered package: $(cat "$work/tampered.log")"
    dpkg-query -W zelkova-user-client >/dev/null 2>&1 && fail "the tampered package was installed"
    rc=0
    as_nobody pkexec /usr/bin/zelkova-update --package-command /usr/bin/id "$home/new.deb" \
        2>"$work/option.log" || rc=$?
    [ "$rc" = 2 ] || fail "--package-command through pkexec: exit $rc: $(cat "$work/option.log")"
    as_nobody zelkova-update "$home/lock" "$home/new.deb /SP- /SILENT /NOCANCEL" \
        /usr/bin/touch "$home/restarted-2" >"$work/install.log" 2>&1 ||
        fail "the signed package: $(cat "$work/install.log")"
    [ "$(dpkg-query -W -f '${Version}' zelkova-user-client)" = 99.0 ] ||
        fail "the signed package is not installed: $(cat "$work/install.log")"
    for n in 1 2; do
        for _ in $(seq 50); do [ -e "$home/restarted-$n" ] && break; sleep 0.1; done
        [ "$(stat -c %u "$home/restarted-$n" 2>/dev/null)" = 65534 ] ||
            fail "the client was not started again as the user ($n)"
    done
    exit 0
fi

build=$1 cpack=$2 version=$3 source=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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
for d in libc6 libqt6widgets6 zlib1g pkexec gpgv; do
    grep -qx "$d" "$work/depends" || fail "Depends lacks $d"
done
dpkg-deb -f "$deb" Recommends | tr ',|' '\n\n' | awk '{print $1}' >"$work/recommends"
for r in qt6-wayland alsa-utils; do
    grep -qx "$r" "$work/recommends" || fail "Recommends lacks $r"
done
dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
expect=(/usr/share/applications/zelkova-user-client.desktop
        /usr/share/icons/hicolor/scalable/apps/zelkova-user-client.svg
        /usr/share/polkit-1/actions/example.zelkova.user-client.policy
        /usr/share/polkit-1/actions/example.zelkova.user-client.update.policy
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
update_policy=$root/usr/share/polkit-1/actions/example.zelkova.user-client.update.policy
xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$update_policy" ||
    fail "the update action does not parse"
# pkexec may start the launcher and zelkova-update, nothing else; the updater links no Qt.
paths=$(cat "$root"/usr/share/polkit-1/actions/*.policy |
    sed -n 's/.*"org.freedesktop.policykit.exec.path">\([^<]*\)<.*/\1/p' | sort | tr '\n' ' ')
[ "$paths" = "/usr/bin/zelkova-update /usr/bin/zelkova-user-client-launch " ] ||
    fail "pkexec actions run: $paths"
ldd "$root/usr/bin/zelkova-update" | grep -qi qt && fail "zelkova-update links Qt"
grep -q '"org.freedesktop.policykit.exec.allow_gui"' "$update_policy" &&
    fail "the update action keeps the display"

echo "== launcher, root side"
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root"
    exit 0
fi
chmod 755 "$work"
mkdir "$work/bin" "$work/data"
cp "$root/usr/bin/zelkova-user-client-launch" "$work/bin/"
chmod 700 "$work/data"
chown 65534:65534 "$work/data"
standin_run "$work/bin" "$work/data" env PKEXEC_UID=65534 \
    "$work/bin/zelkova-user-client-launch" --root --data-dir "$work/data" --env DISPLAY=:7 \
    --env XDG_RUNTIME_DIR=/run/user/65534

echo "== desktop entry's command through pkexec and polkitd"
if [ -d /run/dbus ] && [ -x /usr/lib/polkit-1/polkitd ] && command -v dbus-daemon >/dev/null &&
    unshare -m true 2>/dev/null; then
    mkdir "$work/chain"
    chmod 755 "$work/chain"
    unshare -m --propagation private "$0" --pkexec-chain "$root" "$work/chain"
else
    echo "skipped: needs mount namespaces, dbus-daemon and polkitd"
fi

echo "== a signed update through pkexec and polkitd"
if [ -d /run/dbus ] && [ -x /usr/lib/polkit-1/polkitd ] && command -v dbus-daemon >/dev/null &&
    command -v gpg >/dev/null && unshare -m true 2>/dev/null; then
    up=$work/update
    mkdir -p "$up/home" "$up/ov" "$up/key" "$up/pkg/DEBIAN" "$up/pkg/usr/share/doc/zelkova-user-client"
    chmod 755 "$up"
    chmod 700 "$up/key"
    gpg() { command gpg --homedir "$up/key" --batch --quiet "$@"; }
    gpg --passphrase '' --pinentry-mode loopback --quick-gen-key 'Update Test <u@example.org>' \
        ed25519 sign never
    gpg --export --output "$up/key/keyring.gpg"
    printf 'Package: zelkova-user-client\nVersion: 99.0\nArchitecture: all\nMaintainer: t <t@example.org>\nDescription: the update test\n' \
        >"$up/pkg/DEBIAN/control"
    echo update >"$up/pkg/usr/share/doc/zelkova-user-client/README"
    dpkg-deb --root-owner-group -b "$up/pkg" "$up/home/new.deb" >/dev/null
    gpg --detach-sign --output "$up/home/new.deb.sig" "$up/home/new.deb"
    cp "$up/home/new.deb" "$up/home/tampered.deb"
    cp "$up/home/new.deb.sig" "$up/home/tampered.deb.sig"
    printf 'x' >>"$up/home/tampered.deb"
    : >"$up/home/lock"
    chown -R 65534:65534 "$up/home"
    unshare -m --propagation private "$0" --update-chain "$root" "$up"
    echo "tampered package refused; signed package installed; client started again as the user"
else
    echo "skipped: needs mount namespaces, dbus-daemon, polkitd and gpg"
fi
echo "package checks passed"
