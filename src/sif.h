// SPDX-License-Identifier: MIT
#pragma once

// Writes one grayscale image as a little-endian TIFF file with LZW-compressed strips.
// rows holds height pointers to width samples, one byte per sample whatever bits is (1..32); it
// may be null only when height is 0. Below 8 bits every sample must fit in bits; at 8 bits and
// more every byte does. description may be null. The file goes to a temporary beside name that is
// published onto name once complete, so name holds its old entry or the whole new file (see
// platform.h). Does not return on failure: it reports on stderr and exits 1, with "bad image
// format." for arguments outside these bounds, before anything is written.
void StoreImageFile(const char *name, int width, int height, int bits, unsigned char *const *rows,
                    const char *description);
