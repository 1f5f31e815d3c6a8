// An ordinary console program: a valid PE32+, but not a native image.
int main() { return 0; }
