#include <cstdio>
int main() { std::printf("vrnprog: not yet\n"); return 0; }
