#!/usr/bin/env bash
# Packages, programs, initramfs and the Debian root disk of the virtual board.
# Sourced by scripts/vboard.sh (needs cache, build, top, vb_die, vb_note, vb_hash).
# shellcheck disable=SC2154

VB_HOST_PKGS=(qemu-system-x86 qemu-system-arm mmdebstrap busybox-static kmod e2fsprogs cpio
              xz-utils gzip python3 gcc make bc libelf1 openssl)
# The board's root: systemd, the programs' run-time libraries and the tools the
# scenarios use inside.
VB_ROOT_PKGS=systemd-sysv,libssl3,libcjson1,libstdc++6,iproute2,kmod,procps,can-utils
VB_MODULES_DISK="virtio_pci virtio_blk virtio_net crc32c_generic ext4 configfs gpio-sim-vb"
VB_MODULES_EXTRA="vcan can_raw"
# The updater's trial (the build settings ZQ_TRIAL_CONFIRM_S and ZQ_TRIAL_WINDOW_S, board
# values 60 and 180), shortened so that an update and a rollback fit the stage's budget.
VB_TRIAL_CONFIRM_S=15
VB_TRIAL_WINDOW_S=75
VB_CMAKE_OPTS=("-DZQ_TRIAL_CONFIRM_S=$VB_TRIAL_CONFIRM_S" "-DZQ_TRIAL_WINDOW_S=$VB_TRIAL_WINDOW_S")

vb_deps() {
    local arch=$1 missing=() p
    bash "$top/scripts/deps.sh"
    [ "$arch" = arm64 ] && bash "$top/scripts/deps-arm64.sh"
    for p in "${VB_HOST_PKGS[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    vb_note "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq || vb_die "apt-get update failed (no network to the Debian mirror?)"
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
        vb_die "cannot install ${missing[*]}"
}

# The programs as the board gets them: built for the guest's machine, installed into
# the install tree's layout. The virtual board's build shortens the updater's trial.
vb_programs() {
    local arch=$1 opts=(-G Ninja -DTCU_WERROR=ON -DTCU_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    VB_BUILD=$build/$arch
    local targets=(app_ZQHW zq_update)
    if [ "$arch" = arm64 ]; then
        opts+=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/aarch64-linux-gnu.cmake" -DTCU_BUILD_TESTS=OFF)
    else
        targets+=(com_can_test)
    fi
    opts+=("${VB_CMAKE_OPTS[@]}")
    cmake -S "$top" -B "$VB_BUILD" "${opts[@]}" >"$build/cmake-$arch.log" 2>&1 ||
        { tail -20 "$build/cmake-$arch.log" >&2; vb_die "configuring the $arch build failed"; }
    cmake --build "$VB_BUILD" -j 2 --target "${targets[@]}" >"$build/build-$arch.log" 2>&1 ||
        { tail -30 "$build/build-$arch.log" >&2; vb_die "building the $arch programs failed"; }
    VB_STAGE=$VB_BUILD/stage
    rm -rf "$VB_STAGE"
    cmake --install "$VB_BUILD" --prefix "$VB_STAGE" --strip >/dev/null ||
        vb_die "installing the $arch programs into $VB_STAGE failed"
}

# Module names with everything they depend on, as paths under lib/modules/$KREL.
vb_module_paths() {
    local mdir=$1
    shift
    python3 - "$mdir" "$@" <<'PY'
import os, sys
mdir, want = sys.argv[1], sys.argv[2:]
deps = {}
with open(os.path.join(mdir, "modules.dep")) as f:
    for line in f:
        path, _, rest = line.partition(":")
        deps[path] = rest.split()
by_name = {os.path.basename(p).split(".ko")[0].replace("-", "_"): p for p in deps}
out = []
for w in want:
    p = by_name.get(w.replace("-", "_"))
    if p is None:
        sys.exit("module %s not in %s" % (w, mdir))
    for q in deps[p] + [p]:
        if q not in out:
            out.append(q)
print("\n".join(out))
PY
}

vb_rootfs_tar() {
    local arch=$1 key tar
    key=$(echo "$VB_ROOT_PKGS $arch bookworm" | sha256sum | cut -c1-12)
    tar=$cache/debian-root-$arch-$key.tar
    VB_ROOT_TAR=$tar
    [ -f "$tar" ] && return 0
    vb_note "Debian root ($arch): mmdebstrap"
    local t0=$SECONDS
    timeout 900 mmdebstrap --variant=minbase --format=tar --architectures="$arch" --include="$VB_ROOT_PKGS" bookworm "$tar.part" \
        "deb http://deb.debian.org/debian bookworm main" \
        "deb http://deb.debian.org/debian bookworm-updates main" \
        "deb http://deb.debian.org/debian-security bookworm-security main" >"$cache/mmdebstrap-$arch.log" 2>&1 ||
        { tail -15 "$cache/mmdebstrap-$arch.log" >&2; rm -f "$tar.part"
          vb_die "mmdebstrap failed (no network to the Debian mirror?); see $cache/mmdebstrap-$arch.log"; }
    mv "$tar.part" "$tar"
    vb_note "Debian root made in $((SECONDS - t0)) s ($(du -m "$tar" | cut -f1) MB)"
}

vb_images() {
    local arch=$1
    local img=$build/img-$arch
    mkdir -p "$img"
    local mdir=$KDIR/lib/modules/$KREL
    # The unpacked tree's module index, with gpio-sim beside the kernel's own.
    if [ ! -f "$mdir/extra/gpio-sim-vb.ko" ] || ! cmp -s "$GPIOSIM" "$mdir/extra/gpio-sim-vb.ko"; then
        mkdir -p "$mdir/extra"
        cp "$GPIOSIM" "$mdir/extra/gpio-sim-vb.ko"
        depmod -b "$KDIR" "$KREL" || vb_die "depmod on the unpacked kernel failed"
    fi
    # The agent: static, so it runs in the initramfs and the Debian root alike.
    local cc=gcc
    [ "$arch" = arm64 ] && cc=aarch64-linux-gnu-gcc
    $cc -O2 -static -Wall -Werror -o "$img/vboard-agent" "$top/vboard/agent.c" ||
        vb_die "the guest agent does not build for $arch"

    # ---- initramfs ----
    local ird=$img/initramfs
    rm -rf "$ird"
    mkdir -p "$ird"/{bin,sbin,etc,proc,sys,dev,tmp,newroot,lib/modules/$KREL}
    local busybox=/bin/busybox
    if [ "$arch" = arm64 ]; then
        busybox=$cache/busybox-arm64/bin/busybox
        if [ ! -x "$busybox" ]; then
            mkdir -p "$cache/busybox-arm64"
            (cd "$cache/busybox-arm64" && timeout 300 apt-get download -q busybox-static:arm64 >/dev/null 2>&1) ||
                vb_die "cannot download busybox-static:arm64"
            dpkg-deb -x "$cache"/busybox-arm64/busybox-static_*.deb "$cache/busybox-arm64"
        fi
    fi
    cp "$busybox" "$ird/bin/busybox"
    cp "$img/vboard-agent" "$ird/sbin/"
    install -m 0755 "$top/vboard/init.sh" "$ird/init"
    local mods=$VB_MODULES_DISK
    [ "$arch" = arm64 ] && mods="virtio_mmio virtio_net virtio_console configfs gpio-sim-vb"
    echo "$mods" >"$ird/etc/vboard-modules"
    local paths
    paths=$(vb_module_paths "$mdir" $mods $VB_MODULES_EXTRA) || vb_die "module list: $paths"
    for p in $paths; do
        mkdir -p "$ird/lib/modules/$KREL/$(dirname "$p")"
        cp "$mdir/$p" "$ird/lib/modules/$KREL/$p"
    done
    cp "$mdir"/modules.{order,builtin,builtin.modinfo} "$ird/lib/modules/$KREL/" 2>/dev/null || true
    depmod -b "$ird" "$KREL"
    if [ "$arch" = arm64 ]; then
        vb_ram_programs "$ird"
    fi
    VB_INITRD=$img/initrd.gz
    (cd "$ird" && find . | cpio -o -H newc --quiet | gzip -1) >"$VB_INITRD"

    VB_DISK=""
    [ "$arch" = arm64 ] && return 0
    # ---- the Debian root disk ----
    vb_rootfs_tar "$arch"
    # The updater verifies images: the key pair is the virtual board's own.
    [ -f "$img/zq_update.key" ] || openssl genpkey -algorithm ed25519 -out "$img/zq_update.key" 2>/dev/null ||
        vb_die "cannot make an Ed25519 key"
    local key
    key=$( (echo "$VB_ROOT_TAR $KREL"; cat "$img/vboard-agent" "$top/vboard/images.sh" "$ird/etc/vboard-modules"
            cat "$img/zq_update.key"
            find "$VB_STAGE" -type f -exec cat {} +; cat "$VB_BUILD/tests/com_can_test" 2>/dev/null) |
            sha256sum | cut -c1-16)
    VB_DISK=$img/root.img
    if [ -f "$VB_DISK" ] && [ "$(cat "$img/root.key" 2>/dev/null)" = "$key" ]; then
        return 0
    fi
    local t0=$SECONDS rd=$img/rootdir
    rm -rf "$rd" "$VB_DISK" "$img/root.key"
    mkdir -p "$rd"
    tar -xf "$VB_ROOT_TAR" -C "$rd"
    cp -a "$ird/lib/modules" "$rd/lib/"
    cp "$img/vboard-agent" "$rd/usr/sbin/"
    cp -a "$VB_STAGE/." "$rd/"
    mkdir -p "$rd/opt/vboard"
    [ -f "$VB_BUILD/tests/com_can_test" ] && cp "$VB_BUILD/tests/com_can_test" "$rd/opt/vboard/"
    cat >"$rd/etc/systemd/system/vboard-agent.service" <<'EOF'
[Unit]
Description=Virtual board: the board's side of the GPIO lines, reporting to the host
DefaultDependencies=no
Before=sysinit.target app_ZQHW.service

[Service]
ExecStart=/usr/sbin/vboard-agent run /dev/ttyS1
Restart=always
RestartSec=1

[Install]
WantedBy=sysinit.target
EOF
    mkdir -p "$rd/etc/systemd/system/sysinit.target.wants"
    ln -sf /etc/systemd/system/vboard-agent.service "$rd/etc/systemd/system/sysinit.target.wants/"
    # Nothing on the board logs in; nothing waits for a clock or for udev's device units.
    for u in getty.target serial-getty@ttyS0.service getty@tty1.service systemd-timesyncd.service \
        apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer dpkg-db-backup.timer \
        systemd-remount-fs.service; do
        ln -sf /dev/null "$rd/etc/systemd/system/$u"
    done
    echo vboard >"$rd/etc/hostname"
    # One machine id for every boot of the disk: the journal of the boot before a reboot
    # is found under it (an id made at each boot would hide it).
    echo 7662626f6172642d7463752d64697370 >"$rd/etc/machine-id"
    echo "/dev/vda / ext4 rw 0 1" >"$rd/etc/fstab"
    mkdir -p "$rd/var/log/journal"
    openssl pkey -in "$img/zq_update.key" -pubout -out "$rd/home/root/etc/zq_update.pub"
    chmod 0644 "$rd/home/root/etc/zq_update.pub"
    mkfs.ext4 -q -F -L vboard -d "$rd" "$VB_DISK" 600M || vb_die "mkfs.ext4 -d failed"
    rm -rf "$rd"
    echo "$key" >"$img/root.key"
    vb_note "root disk made in $((SECONDS - t0)) s"
}

# arm64: the program, its libraries and the loader inside the initramfs.
vb_ram_programs() {
    local ird=$1 sysroot=/usr/aarch64-linux-gnu lib
    mkdir -p "$ird/home/root/bin" "$ird/lib" "$ird/home/root/log"
    cp -a "$VB_STAGE/home/root/." "$ird/home/root/"
    local app
    app=$(readlink -f "$VB_STAGE/home/root/bin/$(basename "$(readlink "$VB_STAGE/home/root/bin/app_ZQHW")")")
    local todo=("$app") seen=" "
    while [ ${#todo[@]} -gt 0 ]; do
        local f=${todo[0]}
        todo=("${todo[@]:1}")
        for lib in $(aarch64-linux-gnu-readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
            case "$seen" in *" $lib "*) continue ;; esac
            seen="$seen$lib "
            local path=""
            for d in /lib/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu $sysroot/lib; do
                [ -e "$d/$lib" ] && { path=$d/$lib; break; }
            done
            [ -n "$path" ] || vb_die "arm64 library $lib not found"
            cp -L "$path" "$ird/lib/$lib"
            todo+=("$path")
        done
    done
    cp -L /lib/aarch64-linux-gnu/ld-linux-aarch64.so.1 "$ird/lib/" 2>/dev/null ||
        cp -L $sysroot/lib/ld-linux-aarch64.so.1 "$ird/lib/"
}
