// Child program for the process tests.
int main() { return 0; }
