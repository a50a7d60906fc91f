// Placeholder until the Linux composition root lands.
int main() { return 0; }
