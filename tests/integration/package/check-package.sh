#!/usr/bin/env bash
# Makes the package from a built tree and checks it: lintian, its contents, the programs run
# from an unpacked copy, the desktop entry, the polkit actions, the disk helper's action through
# the real pkexec and polkitd, the installed package started from its menu entry as an ordinary
# user, and a signed update installed through pkexec.
# usage: check-package.sh BUILD_DIR CPACK VERSION SOURCE_DIR
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

# In a private mount namespace: /usr and /var as overlays over a tmpfs at $1/ov, so that what is
# installed vanishes with the namespace.
overlay_usr_var() {
    mount -t tmpfs tmpfs "$1/ov"
    for d in usr var; do
        mkdir -p "$1/ov/$d-up" "$1/ov/$d-work"
        mount -t overlay overlay \
            -o "lowerdir=/$d,upperdir=$1/ov/$d-up,workdir=$1/ov/$d-work" "/$d"
    done
}

# In a private mount namespace, with the actions in place: a rule (in $1/rules) that lets user
# nobody run the action $2 without a password, then a system bus and polkitd of the namespace's
# own, which end with the script; fails unless polkitd knows the action as running $3.
start_polkit() {
    local work=$1 action=$2 program=$3
    mkdir "$work/rules"
    cat >"$work/rules/10-zelkova-test.rules" <<RULE
polkit.addRule(function(action, subject) {
    if (action.id == "$action" && subject.user == "nobody")
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
        pkaction --action-id "$action" >/dev/null 2>&1 && break
        sleep 0.1
    done
    pkaction --action-id "$action" --verbose | grep -q "exec.path -> $program" ||
        fail "polkitd does not know the action $action: $(cat "$work/polkitd.log")"
}

# Inside a private mount namespace: a system bus and polkitd of its own, a rule that lets user
# nobody run the disk helper's action without a password, the package's helper and actions laid
# over /usr/bin and the actions folder. The real pkexec then starts the helper as root for
# nobody, and refuses the client itself, which no action of the package names.
if [ "${1:-}" = --pkexec-chain ]; then
    root=$2 work=$3
    mount -t tmpfs tmpfs /run/dbus
    mkdir "$work/stage"
    cp "$root/usr/bin/zelkova-disk-helper" "$root/usr/bin/zelkova-user-client" "$work/stage/"
    mount -t overlay overlay -o "lowerdir=$work/stage:/usr/bin" /usr/bin
    mount -t overlay overlay \
        -o "lowerdir=$root/usr/share/polkit-1/actions:/usr/share/polkit-1/actions" \
        /usr/share/polkit-1/actions
    start_polkit "$work" example.zelkova.user-client.disk-helper /usr/bin/zelkova-disk-helper
    as_nobody() {
        setpriv --reuid=65534 --regid=65534 --clear-groups env -i HOME=/nonexistent \
            PATH=/usr/bin:/bin "$@"
    }
    # Through pkexec the helper takes no option: its refusal shows it ran, as root, with
    # PKEXEC_UID set by pkexec.
    rc=0
    as_nobody pkexec /usr/bin/zelkova-disk-helper --hardware sim:/etc/shadow \
        >"$work/helper.log" 2>&1 || rc=$?
    [ "$rc" = 2 ] && grep -q 'refused: started through pkexec' "$work/helper.log" ||
        fail "the helper through pkexec: exit $rc: $(cat "$work/helper.log")"
    rc=0
    as_nobody pkexec /usr/bin/zelkova-user-client --version >"$work/client.log" 2>&1 || rc=$?
    [ "$rc" = 127 ] || fail "pkexec started the client as root: exit $rc: $(cat "$work/client.log")"
    exit 0
fi

# Inside private mount and PID namespaces, whose /usr and /var are overlays that vanish with
# them: the package installed with dpkg, the pkexec stand-in (pkexec-standin.c, setuid root) in
# pkexec's place. The desktop entry's command is started as user nobody on offscreen Qt with the
# default hardware, which takes the way through pkexec to the disk helper. While it runs, every
# process of the namespace is looked at: the client runs as nobody, the helper as root with
# pkexec's environment, no process with Qt loaded runs as root, and pkexec was asked only for
# the helper (and the updater). Then the restart a channel change asks for, on a lab whose
# computer accepts it: the run-once entry is the user's, in the user's autostart directory, and
# the start from it takes it away. When the PID namespace's first process ends, all of it ends.
if [ "${1:-}" = --menu-chain ]; then
    deb=$2 work=$3
    overlay_usr_var "$work"
    # The helper's records as root go to /run/zelkova-disk-helper: a /run of the namespace's own.
    mount -t tmpfs tmpfs /run
    dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
    install -o root -g root -m 4755 "$work/pkexec-standin" "$work/ov/pkexec"
    mount --bind "$work/ov/pkexec" /usr/bin/pkexec
    desktop=/usr/share/applications/zelkova-user-client.desktop
    # The Exec line's own words; field codes (%f, %U, ...) stand for nothing here.
    read -r -a command < <(sed -n 's/^Exec=//p' "$desktop" | sed 's/ *%[a-zA-Z]//g')
    home=$work/home
    setpriv --reuid=65534 --regid=65534 --clear-groups env -i HOME="$home" \
        PATH=/usr/local/bin:/usr/bin:/bin QT_QPA_PLATFORM=offscreen "${command[@]}" \
        --unattended >"$work/client.log" 2>&1 &
    client=$!
    helper=
    for _ in $(seq 600); do
        for d in /proc/[0-9]*; do
            [ "$(readlink "$d/exe" 2>/dev/null)" = /usr/bin/zelkova-disk-helper ] &&
                helper=${d#/proc/}
        done
        [ -n "$helper" ] && break
        grep -q '^State:[[:space:]]*[ZX]' "/proc/$client/status" 2>/dev/null && break
        sleep 0.1
    done
    [ -n "$helper" ] || fail "no disk helper started: $(cat "$work/client.log")"
    sleep 2 # the client goes on to the controller form, or to its fatal message
    uids() { awk '/^Uid:/ { print $2, $3, $4, $5 }' "$1/status" 2>/dev/null; }
    [ "$(uids "/proc/$client")" = "65534 65534 65534 65534" ] ||
        fail "the client runs as $(uids "/proc/$client"): $(cat "$work/client.log")"
    [ "$(uids "/proc/$helper")" = "0 0 0 0" ] || fail "the helper runs as $(uids "/proc/$helper")"
    tr '\0' '\n' <"/proc/$helper/environ" >"$work/helper.env"
    grep -qx PKEXEC_UID=65534 "$work/helper.env" &&
        ! grep -q "^HOME=$home" "$work/helper.env" ||
        fail "the helper's environment: $(cat "$work/helper.env")"
    [ "$(awk '/^PPid:/ { print $2 }' "/proc/$helper/status")" = "$client" ] ||
        fail "the helper is not the client's child"
    with_qt=0
    for d in /proc/[0-9]*; do
        grep -q 'libQt6' "$d/maps" 2>/dev/null || continue
        with_qt=$((with_qt + 1))
        case " $(uids "$d") " in *" 0 "*)
            fail "a process with Qt loaded runs as root: $(tr '\0' ' ' <"$d/cmdline")" ;;
        esac
    done
    grep -q 'libQt6' "/proc/$client/maps" || fail "the client's maps show no Qt"
    echo "$with_qt process(es) with Qt loaded, none as root"
    asked=$(sed -n 's/.* program=\([^ ]*\) .*/\1/p' "$work/pkexec.log" | sort -u | tr '\n' ' ')
    case "$asked" in
    "/usr/bin/zelkova-disk-helper " | "/usr/bin/zelkova-disk-helper /usr/bin/zelkova-update ") ;;
    *) fail "pkexec was asked for: $asked" ;;
    esac
    grep -qx 'uid=65534 program=/usr/bin/zelkova-disk-helper verdict=run' "$work/pkexec.log" ||
        fail "pkexec log: $(cat "$work/pkexec.log")"
    echo "the client runs as nobody, the disk helper as root; pkexec was asked for: ${asked% }"
    kill -TERM "$client"
    for _ in $(seq 100); do
        grep -q '^State:[[:space:]]*[ZX]' "/proc/$client/status" 2>/dev/null && break
        sleep 0.1
    done
    left=$(find "$home" ! -uid 65534)
    [ -z "$left" ] || fail "files in the user's home that are not the user's: $left"

    # The restart a channel change asks for, on a lab whose computer accepts it: the installed
    # client, as the user, writes its run-once entry into the user's own autostart directory,
    # and the start after the restart, from that entry, takes it away.
    home=$work/home-restart
    lab=$work/restart-lab.json
    cat >"$lab" <<'LAB'
{"channels": [{"command_block": 496, "control_block": 1014,
               "master": {"type": "disk", "model": "MASTER DISK", "serial": "M1",
                          "firmware": "1.0"}}],
 "controllers": [{"address": "0000:00:01.1", "restart_needed": true}],
 "restart": "accepted"}
LAB
    chmod 644 "$lab"
    # Login data, so that no login dialog waits for a person; the server is a loopback port
    # nobody serves, and the channel's detection comes before the connection.
    data=$home/.config/zelkova-user-client
    mkdir -p "$data"
    printf '%s\r\n' NoName lab.user@example.org 482916 189 40172 0 0 127.0.0.1 "" "" "" 1 0 \
        SOCKS_4 >"$data/user.dat"
    chmod 700 "$data"
    chmod 600 "$data/user.dat"
    chown -R 65534:65534 "$home"
    lab_options=(--unattended --hardware "sim:$lab" --controller pci-0000:00:01.1/1
        --update-url http://127.0.0.1:1/zelkova/autoupdate.txt)
    as_user() {
        setpriv --reuid=65534 --regid=65534 --clear-groups env -i HOME="$home" \
            PATH=/usr/local/bin:/usr/bin:/bin QT_QPA_PLATFORM=offscreen timeout 60 "$@"
    }
    rc=0
    as_user "${command[@]}" "${lab_options[@]}" >"$work/restart.log" 2>&1 || rc=$?
    entry=$home/.config/autostart/zelkova-user-client.desktop
    [ "$rc" = 0 ] && [ "$(stat -c %u "$entry" 2>/dev/null)" = 65534 ] ||
        fail "no run-once entry of the user's after the restart (exit $rc): $(cat "$work/restart.log")"
    grep -qx "Exec=/usr/bin/zelkova-user-client --data-dir $data" "$entry" ||
        fail "the run-once entry: $(cat "$entry")"
    read -r -a resume < <(sed -n 's/^Exec=//p' "$entry")
    as_user "${resume[@]}" "${lab_options[@]}" >"$work/resume.log" 2>&1 &
    resumed=$!
    for _ in $(seq 300); do [ -e "$entry" ] || break; sleep 0.1; done
    kill -TERM "$resumed" 2>/dev/null || true
    wait "$resumed" || true
    [ ! -e "$entry" ] || fail "the start after the restart kept the entry: $(cat "$work/resume.log")"
    echo "the run-once entry was the user's, in the user's autostart directory, and went at the next start"
    left=$(find "$home" ! -uid 65534)
    [ -z "$left" ] || fail "files in the user's home that are not the user's: $left"
    exit 0
fi

# Inside a private mount namespace whose /usr and /var are overlays that vanish with it: the
# package's zelkova-update with a throwaway key as its shipped keyring, a system bus and polkitd
# of its own, a rule that lets user nobody run the update action without a password. Then
# nobody's side of the hand-over goes through the real pkexec: a tampered package is refused, a
# properly signed newer one is installed by apt-get, and the client is started again as nobody.
if [ "${1:-}" = --update-chain ]; then
    root=$2 work=$3
    overlay_usr_var "$work"
    mount -t tmpfs tmpfs /run/dbus
    cp "$root/usr/bin/zelkova-update" /usr/bin/zelkova-update
    mkdir -p /usr/share/zelkova-user-client
    cp "$work/key/keyring.gpg" /usr/share/zelkova-user-client/update-keyring.gpg
    cp "$root"/usr/share/polkit-1/actions/*.policy /usr/share/polkit-1/actions/
    start_polkit "$work" example.zelkova.user-client.update /usr/bin/zelkova-update
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
        /usr/share/polkit-1/actions/example.zelkova.user-client.disk-helper.policy
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
[ "$exec_program" = zelkova-user-client ] || fail "the desktop entry runs $exec_program"
policy=$root/usr/share/polkit-1/actions/example.zelkova.user-client.disk-helper.policy
xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy" ||
    fail "the disk helper's action does not parse"
grep -q '<action id="example.zelkova.user-client.disk-helper">' "$policy" || fail "action id"
grep -q '"org.freedesktop.policykit.exec.path">/usr/bin/zelkova-disk-helper<' "$policy" ||
    fail "exec.path"
update_policy=$root/usr/share/polkit-1/actions/example.zelkova.user-client.update.policy
xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$update_policy" ||
    fail "the update action does not parse"
# pkexec may start the disk helper and zelkova-update, nothing else; neither links Qt, and
# neither action keeps the display.
paths=$(cat "$root"/usr/share/polkit-1/actions/*.policy |
    sed -n 's/.*"org.freedesktop.policykit.exec.path">\([^<]*\)<.*/\1/p' | sort | tr '\n' ' ')
[ "$paths" = "/usr/bin/zelkova-disk-helper /usr/bin/zelkova-update " ] ||
    fail "pkexec actions run: $paths"
for p in zelkova-disk-helper zelkova-update; do
    ldd "$root/usr/bin/$p" | grep -qi qt && fail "$p links Qt"
done
grep -q '"org.freedesktop.policykit.exec.allow_gui"' "$root"/usr/share/polkit-1/actions/*.policy &&
    fail "an action keeps the display"

if [ "$(id -u)" -ne 0 ]; then
    echo "the checks that install, mount and change user are skipped: they need root"
    exit 0
fi
chmod 755 "$work"

echo "== the disk helper's action through pkexec and polkitd"
if [ -d /run/dbus ] && [ -x /usr/lib/polkit-1/polkitd ] && command -v dbus-daemon >/dev/null &&
    unshare -m true 2>/dev/null; then
    mkdir "$work/chain"
    chmod 755 "$work/chain"
    unshare -m --propagation private "$0" --pkexec-chain "$root" "$work/chain"
    echo "pkexec starts the helper as root for the user, and not the client"
else
    echo "skipped: needs mount namespaces, dbus-daemon and polkitd"
fi

echo "== the installed package started from its menu entry as the user"
if unshare -m -p -f true 2>/dev/null && command -v "${CC:-cc}" >/dev/null; then
    menu=$work/menu
    mkdir -p "$menu/ov" "$menu/home" "$menu/home-restart"
    chmod 755 "$menu"
    chown 65534:65534 "$menu/home" "$menu/home-restart"
    "${CC:-cc}" -O2 -Wall -Wextra -Werror -DSTANDIN_LOG="\"$menu/pkexec.log\"" \
        -o "$menu/pkexec-standin" "$(dirname "$0")/pkexec-standin.c" ||
        fail "the pkexec stand-in does not build"
    unshare -m -p -f --mount-proc --propagation private "$0" --menu-chain "$deb" "$menu"
else
    echo "skipped: needs mount and PID namespaces and a C compiler"
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
