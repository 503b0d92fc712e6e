// SPDX-License-Identifier: MIT
#pragma once

// Writes one grayscale image as a little-endian TIFF file with LZW-compressed strips.
// rows holds height pointers to width samples, one byte per sample whatever bits is (1..32);
// description may be null. The file goes to a temporary beside name that is published onto name
// once complete, so name holds its old entry or the whole new file (see platform.h). With
// height > 0 and rows null nothing is written: the call only fails as a write would where name's
// folder cannot take the file. Does not return on failure: it reports on stderr and exits 1.
void StoreImageFile(const char *name, int width, int height, int bits, unsigned char *const *rows,
                    const char *description);
