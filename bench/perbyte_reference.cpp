// SPDX-License-Identifier: GPL-3.0-or-later
// The per-byte stdio loop, kept only as the benchmark's point of comparison:
// size by seek and tell, one fread and one fputc per byte, and the fraction
// and milestone test at every byte.
#include <cstdio>

#include "perbyte_reference.h"

bool PerByteReference(const char *in_path, const char *out_path, const char *key,
                      unsigned key_length)
{
    FILE *in = std::fopen(in_path, "rb");
    if (!in)
        return false;
    std::fseek(in, 0, SEEK_END);
    long size = std::ftell(in);
    std::fclose(in);
    in = std::fopen(in_path, "rb");
    FILE *out = std::fopen(out_path, "wb");
    if (!in || !out) {
        if (in)
            std::fclose(in);
        if (out)
            std::fclose(out);
        return false;
    }
    static const double milestones[] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9};
    int flags[9] = {};
    int refresh = 0;
    unsigned count = 0, position = 0;
    unsigned char byte;
    while (std::fread(&byte, 1, 1, in) == 1) {
        ++count;
        const double fraction = double(count) / double(size + 1);
        for (int m = 0; m < 9; ++m) {
            if (fraction > milestones[m] && !flags[m]) {
                flags[m] = 1;
                refresh = 1;
            }
        }
        if (refresh)
            refresh = 0;
        std::fputc(byte ^ static_cast<unsigned char>(key[position]), out);
        position = position == key_length - 1 ? 0 : position + 1;
    }
    std::fclose(in);
    std::fclose(out);
    return true;
}
