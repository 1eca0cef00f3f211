// Bench loop-back test of the spare RS-485 ports ttyS4, ttyS5 and ttyS6 wired together.
#pragma once

// Kept for its callers to come: a bench test, built in, never started.
void rs485_test(int loop);
void *com_ttyS4_loop(void *argv);
void *com_ttyS5_loop(void *argv);
void *com_ttyS6_loop(void *argv);
