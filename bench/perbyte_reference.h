// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

bool PerByteReference(const char *in_path, const char *out_path, const char *key,
                      unsigned key_length);
