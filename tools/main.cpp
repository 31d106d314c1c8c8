// vibra-sim: loads the driver on the simulated platform and plays a scenario.
int main() { return 0; }
