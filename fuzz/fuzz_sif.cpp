// libFuzzer target: any input becomes a valid StoreImageFile call, and the file must be exactly
// what the format demands for that image, by hand, by a plain LZW decoder and by libtiff.
//
// Input: width (3 bytes), height (2 bytes), bits, description length (0xFF: none), then the
// description and the samples, repeated to fill the image and masked below 2^bits.

#include "check.h"
#include "sif.h"

#include <cstdio>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 7) return 0;
  check::Image im;
  im.width = int((data[0] | unsigned{data[1]} << 8 | unsigned{data[2]} << 16) % 70000 + 1);
  im.height = (data[3] | data[4] << 8) % 600;
  im.bits = data[5] % 32 + 1;
  if (std::uint64_t(im.width) * unsigned(im.height) > (1u << 18)) return 0; // keep runs short
  std::size_t at = 7;
  std::string text;
  for (; data[6] != 0xFF && at < size && text.size() < data[6]; ++at)
    text.push_back(data[at] == 0 ? '.' : static_cast<char>(data[at]));
  im.description = data[6] != 0xFF ? text.c_str() : nullptr;
  const unsigned mask = im.bits >= 8 ? 0xFF : (1u << im.bits) - 1;
  std::vector<unsigned char *> rows;
  for (std::size_t y = 0, i = 0; y < std::size_t(im.height); ++y) {
    im.rows.emplace_back(std::size_t(im.width));
    for (unsigned char &s : im.rows.back())
      s = (at < size ? data[at + i++ % (size - at)] : i++ * 37) & mask;
    rows.push_back(im.rows.back().data());
  }
  static const std::string path = "/tmp/travik-fuzz-" + std::to_string(::getpid()) + ".tif";
  StoreImageFile(path.c_str(), im.width, im.height, im.bits, rows.data(), im.description);
  if (const std::string fault = check::Verify(path, im); !fault.empty()) {
    std::fprintf(stderr, "%d x %d x %d: %s\n", im.width, im.height, im.bits, fault.c_str());
    std::abort();
  }
  std::remove(path.c_str());
  return 0;
}
