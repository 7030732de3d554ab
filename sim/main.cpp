#include <cstdio>
int main() { std::printf("vrnsim: not yet\n"); return 0; }
