// Placeholder of the firmware updater.
int main(void) { return 0; }
