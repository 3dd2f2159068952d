// sim/layout.cpp - the platform's panel rule.
#include "layout.h"

#include <cstdio>

namespace phone {

bool hwver_is_gtype(const char* hwver)
{
    int n[8] = {};
    if (hwver == nullptr) return false;
    if (sscanf(hwver, "%d.%d.%d.%d.%d.%d.%d.%d", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5], &n[6],
               &n[7]) < 0)
        return false;
    return (n[7] & 1) == 1 || (n[0] == 59 && (n[3] & 0xF) == 1);
}

} // namespace phone
