// SPDX-License-Identifier: MIT
// libFuzzer target: any input becomes a valid StoreImageFile call, and the file must be exactly
// what the format demands for that image.
//
// Input: width (3 bytes), height (2 bytes), bits, description length (0xFF: none), then the
// description and the samples, repeated to fill the image and masked below 2^bits.

#include "check.h"
#include "sif.h"

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 7) return 0;
  const int width = int((data[0] | data[1] << 8 | data[2] << 16) % 70000 + 1);
  const int height = (data[3] | data[4] << 8) % 600, bits = data[5] % 32 + 1;
  if (std::uint64_t(width) * unsigned(height) > (1u << 18)) return 0; // keep runs short
  const unsigned mask = bits >= 8 ? 0xFF : (1u << bits) - 1;
  const std::size_t length = data[6] == 0xFF ? 0 : std::min<std::size_t>(data[6], size - 7);
  std::string text(data + 7, data + 7 + length);
  std::replace(text.begin(), text.end(), '\0', '.');
  check::Image im{width, height, bits, {}, data[6] == 0xFF ? nullptr : text.c_str()};
  std::vector<unsigned char *> rows;
  for (std::size_t y = 0, i = 0, at = 7 + length; y < std::size_t(height); ++y) {
    im.rows.emplace_back(std::size_t(width));
    for (unsigned char &s : im.rows.back())
      s = std::uint8_t((at < size ? data[at + i++ % (size - at)] : i++ * 37) & mask);
    rows.push_back(im.rows.back().data());
  }
  static const std::string path = "/tmp/travik-fuzz-" + std::to_string(::getpid()) + ".tif";
  StoreImageFile(path.c_str(), width, height, bits, rows.data(), im.description);
  if (const std::string fault = check::Verify(path, im); !fault.empty()) {
    std::fprintf(stderr, "%d x %d x %d: %s\n", width, height, bits, fault.c_str());
    std::abort();
  }
  return std::remove(path.c_str()), 0;
}
