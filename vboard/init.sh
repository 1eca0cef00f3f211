#!/bin/busybox sh
# shellcheck shell=dash
# The virtual board's initramfs: modules, the board's GPIO banks on gpio-sim, the
# network, the board's configuration; then either the Debian root on /dev/vda
# (vb.root=disk, systemd as init) or the program straight from here (vb.root=ram).
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
fail() {
    echo "vboard-init: $*"
    ls -l /sys/class/gpio/ 2>/dev/null
    echo "vboard-init: FAILED" >/dev/ttyS0
    poweroff -f
}
arg() { sed -n "s/.*\bvb\.$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
for m in $(cat /etc/vboard-modules); do
    modprobe "$m" || fail "modprobe $m"
done
if [ "$(arg arch)" = arm64 ]; then
    # The virt machine's PL061 holds 504-511 from boot; the board's bank 0 needs the top.
    for d in /sys/bus/amba/drivers/pl061_gpio/*.pl061; do
        [ -e "$d" ] && echo "${d##*/}" >/sys/bus/amba/drivers/pl061_gpio/unbind
    done
    export VBOARD_NR_GPIO=512
fi
/sbin/vboard-agent setup || fail "gpio-sim set-up"
ip link set lo up
# The GOOSE NIC is the one with the board's address, whatever order the bus found them in.
for i in /sys/class/net/eth*; do
    if [ "$(cat "$i/address")" = 02:54:43:55:00:01 ]; then goose=${i##*/}; else user=${i##*/}; fi
done
if [ "${goose:-}" != eth1 ] && [ -n "${goose:-}" ] && [ -n "${user:-}" ]; then
    ip link set "$goose" name vbgoose && ip link set "$user" name eth0 && ip link set vbgoose name eth1
fi
ip link set eth0 up && ip addr add 10.0.2.15/24 dev eth0 && ip route add default via 10.0.2.2 ||
    fail "eth0 (user networking) not configured"
ip link set eth1 up || fail "eth1 (GOOSE NIC) missing"
pu=$(arg pu) hmi=$(arg hmi) log=$(arg log)
config() {
    # The board's configuration: the power unit and log server are the host's.
    cat <<EOF
{
	"tcu_id":	"0",
	"enable_modbus_hw":	"1",
	"enable_hmi":	"0",
	"enable_ocpp":	"0",
	"ast_tty":	"/dev/$(arg line)",
	"ifname":	"eth1",
	"zqlog_ip":	"10.0.2.2",
	"zqlog_port":	"$log",
	"modbus_hw":	{
		"serverip":	"10.0.2.2",
		"port":	"$pu",
		"enable_ssl":	"0",
		"maxI_GUNA":	"250",
		"maxI_GUNB":	"250"
	}
}
EOF
}
if [ "$(arg root)" = ram ]; then
    mkdir -p /home/root/etc /home/root/log /run
    config >/home/root/etc/tcu_config.json
    echo "vboard-init: board ready (initramfs root)"
    /sbin/vboard-agent run "/dev/$(arg agent)" &
    cd /home/root && /home/root/bin/app_ZQHW >/dev/console 2>&1 &
    while :; do sleep 3600; done
fi
mkdir -p /newroot
mount -t ext4 -o rw /dev/vda /newroot || fail "cannot mount the root disk"
# Written once per disk: the orderly stop must find it untouched across boots.
[ -f /newroot/home/root/etc/.vboard-config ] || {
    config >/newroot/home/root/etc/tcu_config.json
    echo "ZQ_UPDATE_OPTS=\"-i 10.0.2.2 -p $hmi\"" >/newroot/home/root/etc/zq_update.env
    touch /newroot/home/root/etc/.vboard-config
}
echo "vboard-init: board ready, switching to systemd"
mount --move /dev /newroot/dev
mount --move /sys /newroot/sys
mount --move /proc /newroot/proc
exec switch_root /newroot /sbin/init
