// SPDX-License-Identifier: MIT
#pragma once

// Writes one grayscale image as a little-endian TIFF file with LZW-compressed strips.
// rows holds height pointers to width samples, one byte per sample whatever bits is (1..32);
// description may be null. The file is written unnamed in name's folder (or, where the file
// system refuses that, as name.partial.PID), named name.partial.PID once complete and renamed onto
// name, so name holds its old entry or the whole new file; SIGHUP, SIGINT and SIGTERM remove the
// temporary before they end the process. Does not return on failure: it reports on stderr and
// exits 1.
void StoreImageFile(const char *name, int width, int height, int bits, unsigned char *const *rows,
                    const char *description);
