#include <cstdio>
int main() { std::printf("vrnstat: not yet\n"); return 0; }
