// Build tool: provides the six images that the executables carry.
//
//   r9-mkimages generate OUTDIR        writes deterministic stand-in images of the exact sizes,
//                                      with the release's version stamps at their offsets
//   r9-mkimages check SRCDIR OUTDIR    checks a release's images and copies them to OUTDIR
//
// Either way OUTDIR ends up holding <id>.bin for the six ids, which the build links in.
// A check failure names the file and the fault and exits 1, which fails the build.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/image_check.h"
#include "firmware/image_set.h"

namespace {

// The stamps the stand-in images carry: what this release's images hold.
const char* StandInStamp(uint32_t id) {
  switch (id) {
    case 139:
      return "1.10";
    case 133:
      return "1.00";
    case 142:
      return "1.00";
    case 147:
      return "1.02";
    default:
      return nullptr;
  }
}

uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::vector<uint8_t> StandIn(const r9::FirmwareImageInfo& info) {
  std::vector<uint8_t> bytes(info.size);
  uint64_t state = 0x52390000u + info.id;
  for (size_t i = 0; i < bytes.size(); i += 8) {
    uint64_t r = SplitMix64(state);
    for (size_t j = 0; j < 8 && i + j < bytes.size(); ++j) bytes[i + j] = uint8_t(r >> (8 * j));
  }
  if (const char* stamp = StandInStamp(info.id))
    for (size_t j = 0; j < r9::kStampLength; ++j) bytes[info.stampOffset + j] = uint8_t(stamp[j]);
  return bytes;
}

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  out.close();
  if (!out) std::fprintf(stderr, "r9-mkimages: %s: cannot write\n", path.c_str());
  return bool(out);
}

int Usage() {
  std::fprintf(stderr, "usage: r9-mkimages generate OUTDIR | r9-mkimages check SRCDIR OUTDIR\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string mode = argv[1];
  if (mode == "generate" && argc == 3) {
    for (const r9::FirmwareImageInfo& info : r9::kFirmwareImages)
      if (!Write(std::string(argv[2]) + "/" + std::to_string(info.id) + ".bin", StandIn(info))) return 1;
    return 0;
  }
  if (mode == "check" && argc == 4) {
    int faults = 0;
    for (const r9::FirmwareImageInfo& info : r9::kFirmwareImages) {
      const std::string path = std::string(argv[2]) + "/" + std::to_string(info.id) + ".bin";
      std::ifstream in(path, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "r9-mkimages: %s: missing\n", path.c_str());
        ++faults;
        continue;
      }
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::string fault = r9::CheckImage(info, bytes.data(), bytes.size());
      if (!fault.empty()) {
        std::fprintf(stderr, "r9-mkimages: %s: %s\n", path.c_str(), fault.c_str());
        ++faults;
        continue;
      }
      if (!Write(std::string(argv[3]) + "/" + std::to_string(info.id) + ".bin", bytes)) return 1;
    }
    return faults ? 1 : 0;
  }
  return Usage();
}
