// Bench loop-back test of the spare RS-232 ports ttyS2 and ttyS3 wired together.
#pragma once

void rs232_test(int loop);
void *com_ttyS2_loop(void *argv);
void *com_ttyS3_loop(void *argv);
