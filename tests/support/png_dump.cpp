// tests/support/png_dump.cpp - writes a PNG picture as a binary PGM (P5)
// on standard output, for test programs built without libpng.
//
//   png_dump FILE.png
#include "frames.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE.png\n", argv[0]);
        return 2;
    }
    screen s;
    if (!read_png(argv[1], &s)) return 1;
    printf("P5\n%d %d\n255\n", s.width, s.height);
    if (fwrite(s.grey.data(), 1, s.grey.size(), stdout) != s.grey.size()) return 1;
    return fflush(stdout) == 0 ? 0 : 1;
}
