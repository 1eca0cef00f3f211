#!/usr/bin/env bash
# Kernel, modules and the out-of-tree gpio-sim module for one architecture of the
# virtual board, kept under $cache/kernel-$arch-$abi. Sourced by scripts/vboard.sh.
#   vb_kernel ARCH   sets KDIR (unpacked tree), KIMAGE (vmlinuz), KREL (uname -r),
#                    GPIOSIM (the module) or fails with a message.

# The ABI comes from Debian 12's metapackage, so image, headers and source always
# match each other; a cache without network keeps the ABI it was made with.
# shellcheck disable=SC2154  # cache and top come from scripts/vboard.sh
vb_resolve_abi() {
    local arch=$1 meta dep ver
    meta=linux-image-$arch
    if ! apt-cache show "$meta" >/dev/null 2>&1; then
        return 1
    fi
    # The candidate version (what an installation would take), not whichever record comes first.
    ver=$(apt-cache policy "$meta" 2>/dev/null | awk '/Candidate:/ { print $2; exit }')
    [ -n "$ver" ] && [ "$ver" != "(none)" ] || return 1
    dep=$(apt-cache show "$meta=$ver" 2>/dev/null | awk '/^Version:/ { v = $2 } /^Depends:/ { print v " " $2; exit }')
    ver=${dep%% *}
    KREL=${dep#* }
    KREL=${KREL%% *}
    KREL=${KREL#linux-image-}
    KVER=$ver
    [ -n "$KREL" ] && [ -n "$KVER" ]
}

vb_refuse_new_series() {
    local rel=$1 major minor
    major=${rel%%.*}
    minor=${rel#*.}
    minor=${minor%%.*}
    if [ "$major" -gt 6 ] || { [ "$major" -eq 6 ] && [ "$minor" -ge 2 ]; }; then
        vb_die "kernel $rel: the virtual board needs Debian 12's 6.1 series; from 6.2 on dynamic GPIO bases start at 512 and the board's GPIO numbers 344..511 no longer come out"
    fi
}

vb_fetch() {  # vb_fetch DIR PACKAGE=VERSION...: apt-get download into DIR, with a clear message offline
    local dir=$1
    shift
    (cd "$dir" && timeout 600 apt-get download -q "$@" >"$dir/download.log" 2>&1) ||
        vb_die "cannot download $* from the Debian mirror (no network?); see $dir/download.log"
}

vb_kernel() {
    local arch=$1 dir stamp
    if ! vb_resolve_abi "$arch"; then
        # Offline with no package lists: fall back to the newest tree in the cache.
        dir=$(ls -d "$cache"/kernel-"$arch"-*/ 2>/dev/null | sort -V | tail -1)
        [ -n "$dir" ] && [ -f "$dir/ready" ] ||
            vb_die "no package list for linux-image-$arch and no cached kernel: run apt-get update with network first"
        KREL=$(cat "$dir/krel")
        KVER=$(cat "$dir/kver")
        vb_note "no package list for linux-image-$arch; using the cached kernel $KREL"
    fi
    vb_refuse_new_series "$KREL"
    dir=$cache/kernel-$arch-$KREL
    KDIR=$dir/tree
    # shellcheck disable=SC2034  # read by scripts/vboard.sh
    KIMAGE=$KDIR/boot/vmlinuz-$KREL
    GPIOSIM=$dir/gpio-sim.ko
    stamp="$KVER $(vb_hash "$top/vboard/kernel.sh")"
    if [ -f "$dir/ready" ] && [ "$(cat "$dir/ready")" = "$stamp" ]; then
        return 0
    fi
    [ -d "$dir" ] && vb_note "cached kernel $KREL is from an older tree or incomplete: made again"
    rm -rf "${dir:?}"
    mkdir -p "$dir/debs" "$KDIR"
    local t0=$SECONDS
    vb_note "kernel $KREL ($KVER) for $arch: download"
    local hdr=linux-headers-$KREL common=linux-headers-${KREL%-*}-common
    vb_fetch "$dir/debs" "linux-image-$KREL:$arch=$KVER" "$hdr:$arch=$KVER" "$common=$KVER" \
        "linux-kbuild-6.1=$KVER" "linux-source-6.1=$KVER"
    for d in "$dir"/debs/*.deb; do
        case "$d" in *linux-source*) continue ;; esac
        dpkg-deb -x "$d" "$KDIR"
    done
    # The headers must be the image's: a bumped ABI between them is refused.
    [ -d "$KDIR/usr/src/linux-headers-$KREL" ] && [ -d "$KDIR/lib/modules/$KREL/kernel" ] ||
        vb_die "kernel image and headers do not carry the same ABI $KREL"
    if [ "$arch" != amd64 ]; then
        # The arm64 headers carry arm64 build tools; the host's kbuild of the same
        # version builds the module (the tools only read and write files).
        local kb
        kb=$(ls -d "$KDIR"/usr/lib/linux-kbuild-6.1 2>/dev/null || true)
        [ -n "$kb" ] || vb_die "linux-kbuild-6.1 was not unpacked"
    fi
    vb_note "gpio-sim: sources"
    local src=$dir/gpiosim
    mkdir -p "$src"
    dpkg-deb --fsys-tarfile "$dir"/debs/linux-source-6.1_*.deb |
        tar -x -C "$dir" --wildcards './usr/src/linux-source-6.1.tar.xz'
    tar -xJf "$dir/usr/src/linux-source-6.1.tar.xz" -C "$src" --strip-components=1 \
        linux-source-6.1/drivers/gpio/gpio-sim.c linux-source-6.1/drivers/gpio/gpiolib.h \
        linux-source-6.1/kernel/irq/irq_sim.c
    rm -rf "${dir:?}/usr"
    cp "$src/drivers/gpio/gpio-sim.c" "$src/drivers/gpio/gpiolib.h" "$src/"
    # irq_to_desc() is not exported to modules; generic_handle_irq() does the same here.
    sed 's/handle_simple_irq(irq_to_desc(\([^)]*\)))/generic_handle_irq(\1)/' \
        "$src/kernel/irq/irq_sim.c" >"$src/irq_sim.c"
    grep -q 'generic_handle_irq' "$src/irq_sim.c" || vb_die "irq_sim.c: the irq_to_desc() call was not found to replace"
    printf 'obj-m := gpio-sim-vb.o\ngpio-sim-vb-y := gpio-sim.o irq_sim.o\nccflags-y := -I$(src)\n' >"$src/Kbuild"
    local kmake=(make -C "$KDIR/usr/src/linux-headers-$KREL" M="$src" -j2)
    if [ "$arch" = arm64 ]; then
        kmake+=(ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu-)
    fi
    vb_note "gpio-sim: build"
    "${kmake[@]}" modules >"$dir/gpiosim-build.log" 2>&1 ||
        { tail -20 "$dir/gpiosim-build.log" >&2; vb_die "gpio-sim module build failed; see $dir/gpiosim-build.log"; }
    cp "$src/gpio-sim-vb.ko" "$GPIOSIM"
    echo "$KREL" >"$dir/krel"
    echo "$KVER" >"$dir/kver"
    echo "$stamp" >"$dir/ready"
    vb_note "kernel $KREL for $arch ready in $((SECONDS - t0)) s ($(du -k "$GPIOSIM" | cut -f1) KB gpio-sim)"
}
