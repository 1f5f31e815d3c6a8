// Placeholder until the simulator lands: proves the host build links a program over the stand-in.
#include <cstdio>

int main() {
  std::puts("korvsim: no scenario yet");
  return 0;
}
