// Bench loop-back test of the spare RS-232 ports ttyS2 and ttyS3 wired together.
#pragma once

// Kept for its callers to come: a bench test, built in, never started.
void rs232_test(int loop);
void *com_ttyS2_loop(void *argv);
void *com_ttyS3_loop(void *argv);
