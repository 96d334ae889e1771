# What the QEMU guest tests share; sourced by run.sh, scan-guest.sh and kernel-guest.sh.

# guest_require LABEL [COMMAND ...]: sets $kernel (the newest /boot/vmlinuz-*) and $busybox
# (a static one) and fails unless they, qemu-system-x86_64, cpio and every COMMAND are there.
guest_require() {
    local label=$1 need missing=""
    shift
    kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1 || true)
    busybox=$(command -v busybox || true)
    for need in "$kernel" "$busybox" "$(command -v qemu-system-x86_64 || true)" \
        "$(command -v cpio || true)"; do
        if [ -z "$need" ] || [ ! -e "$need" ]; then missing=1; fi
    done
    for need in "$@"; do
        command -v "$need" >/dev/null || [ -x "/sbin/$need" ] || missing=1
    done
    if [ -n "$missing" ]; then
        echo "$label: missing kernel, busybox, qemu-system-x86_64, cpio${*:+ or $*}" \
            "(scripts/install-deps)" >&2
        exit 1
    fi
    # busybox-static installs over /bin/busybox; a dynamic one would need its libraries
    if ldd "$busybox" >/dev/null 2>&1; then
        echo "$label: $busybox is not static (install busybox-static)" >&2
        exit 1
    fi
}

# guest_stage ROOT TOOL: the initramfs tree with busybox, the tool as /bin/zelkova-ata, and the
# dynamic loader and every library the tool needs at the paths it looks for them.
guest_stage() {
    local root=$1 tool=$2
    mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev"
    guest_add_program "$root" "$tool" zelkova-ata
    cp "$busybox" "$root/bin/busybox"
}

# guest_add_program ROOT PROGRAM NAME: PROGRAM as /bin/NAME with the libraries it needs.
guest_add_program() {
    local root=$1 program=$2 name=$3 lib
    cp "$program" "$root/bin/$name"
    for lib in $(ldd "$program" | grep -o '/[^ ]*'); do
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}

# guest_add_pci_ids ROOT: the host's PCI ID database at its paths in ROOT, for the controller
# descriptions.
guest_add_pci_ids() {
    local root=$1 ids
    for ids in /usr/share/misc/pci.ids /usr/share/hwdata/pci.ids; do
        if [ -e "$ids" ]; then
            mkdir -p "$root$(dirname "$ids")"
            cp -L "$ids" "$root$ids"
        fi
    done
}

# guest_boot LABEL TIMEOUT WORK MEMORY APPEND [QEMU ARGUMENT ...]: packs WORK/root with its init
# into WORK/initramfs.gz and boots it with the serial console in WORK/console.log; fails with
# the console's end when QEMU does not end by itself in time.
guest_boot() {
    local label=$1 timeout_s=$2 work=$3 memory=$4 append=$5 rc
    shift 5
    chmod +x "$work/root/init"
    (cd "$work/root" && find . | cpio -o -H newc --quiet | gzip -1 >"$work/initramfs.gz")
    : >"$work/console.log"
    set +e
    timeout --kill-after=10 "$timeout_s" qemu-system-x86_64 \
        -machine pc -accel tcg -m "$memory" -smp 1 \
        -display none -monitor none -no-reboot -nodefaults \
        -serial "file:$work/console.log" \
        -kernel "$kernel" -initrd "$work/initramfs.gz" -append "$append" "$@"
    rc=$?
    set -e
    if [ $rc -ne 0 ]; then
        echo "$label: qemu ended with status $rc (124 = timed out after ${timeout_s}s)" >&2
        tail -n 40 "$work/console.log" >&2
        exit 1
    fi
}

# guest_modules ROOT MODULE ...: the modules and what they need, in load order, uncompressed
# under ROOT/lib/mod; sets $guest_load to their names in that order. Needs $kernel.
guest_modules() {
    local root=$1 m path base name modprobe kver
    shift
    kver=${kernel#/boot/vmlinuz-}
    modprobe=$(command -v modprobe || echo /sbin/modprobe)
    mkdir -p "$root/lib/mod"
    guest_load=""
    for m in "$@"; do
        for path in $("$modprobe" --show-depends -S "$kver" "$m" |
            awk '$1 == "insmod" { print $2 }'); do
            base=$(basename "$path")
            name=${base%%.ko*}
            [ -e "$root/lib/mod/$name.ko" ] && continue
            case "$base" in
                *.ko.xz) xz -dc "$path" >"$root/lib/mod/$name.ko" ;;
                *.ko.zst) zstd -qdc "$path" >"$root/lib/mod/$name.ko" ;;
                *.ko.gz) gzip -dc "$path" >"$root/lib/mod/$name.ko" ;;
                *) cp "$path" "$root/lib/mod/$name.ko" ;;
            esac
            guest_load="$guest_load $name"
        done
    done
}
