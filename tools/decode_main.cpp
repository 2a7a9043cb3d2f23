// quarvis-decode (placeholder until the decoder is built).
int main() { return 0; }
