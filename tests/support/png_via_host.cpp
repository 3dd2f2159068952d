// tests/support/png_via_host.cpp - read_png() for test programs built for
// the phone, which has no libpng: the host's png_dump decodes the picture
// and hands it over as a PGM.
#include "frames.h"

#include <cstdio>
#include <string>

bool read_png(const std::string& path, screen* s)
{
    if (path.find('\'') != std::string::npos) return false;
    const std::string cmd = std::string(PHONE_PNG_DUMP) + " '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return false;
    int w = 0;
    int h = 0;
    int max = 0;
    bool ok = fscanf(p, "P5 %d %d %d", &w, &h, &max) == 3 && max == 255 && w > 0 && h > 0 &&
              w <= 4096 && h <= 4096 && fgetc(p) == '\n';
    if (ok) {
        s->width = w;
        s->height = h;
        s->grey.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
        ok = fread(s->grey.data(), 1, s->grey.size(), p) == s->grey.size();
    }
    return pclose(p) == 0 && ok;
}
