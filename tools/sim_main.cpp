// quarvis-sim (placeholder until the simulator is built).
int main() { return 0; }
