#!/usr/bin/env bash
# Builds a host-run tree for app_ZQHW under DIR: a fake sysfs GPIO tree with every
# line the board uses already exported (a plain directory cannot create gpioN on
# a write to "export"), the log directory and a configuration file.
# Usage: scripts/make_host_root.sh DIR [ifname] [serverip] [port] [ast_tty] [tcu_id]
set -euo pipefail
root=${1:?usage: make_host_root.sh DIR [ifname] [serverip] [port] [ast_tty] [tcu_id]}
ifname=${2:-lo}
serverip=${3:-127.0.0.1}
port=${4:-1502}
ast_tty=${5:-$root/dev/ttyAST}
tcu_id=${6:-0}
mkdir -p "$root/home/root/etc" "$root/home/root/log" "$root/home/root/bin" "$root/sys/class/gpio" "$root/dev"
: > "$root/sys/class/gpio/export"
: > "$root/sys/class/gpio/unexport"
# Outputs start as the board leaves them; inputs read 1 (switch open, contactor open).
for n in 432 503 504 406 402 403 490 407 408 409 397 399 400 401 405 410 396 398 404; do
    d="$root/sys/class/gpio/gpio$n"
    mkdir -p "$d"
    [ -f "$d/direction" ] || echo in > "$d/direction"
    [ -f "$d/value" ] || echo 1 > "$d/value"
done
cat > "$root/home/root/etc/tcu_config.json" <<JSON
{
	"tcu_id":	"$tcu_id",
	"enable_modbus_hw":	"1",
	"enable_hmi":	"0",
	"enable_ocpp":	"0",
	"ast_tty":	"$ast_tty",
	"ifname":	"$ifname",
	"zqlog_ip":	"127.0.0.1",
	"zqlog_port":	"5140",
	"modbus_hw":	{
		"serverip":	"$serverip",
		"port":	"$port",
		"enable_ssl":	"0",
		"maxI_GUNA":	"250",
		"maxI_GUNB":	"250"
	}
}
JSON
