"""Simulated dispenser equipment for app_ZQHW: charging controller and board on a
pseudo-terminal, power unit over Modbus TCP (plain or mutual TLS), GOOSE subscriber
on a veth end and the board's GPIO lines in a fake sysfs tree.

Everything here is written independently of the terminal program's own protocol
code, so that a fault in the program cannot agree with itself."""
