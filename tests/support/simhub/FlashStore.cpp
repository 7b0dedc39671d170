#include "simhub/FlashStore.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace SimHub {

namespace {
constexpr const char* kMagic = "simhub-images";
constexpr std::size_t kMaxImageSize = 1u << 20;  // bytes; far above any sensor's flash
}  // namespace

std::vector<Bytes> ReadImages(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open image file " + file.string());
  std::string magic;
  std::size_t count = 0;
  if (!(in >> magic >> count) || magic != kMagic || in.get() != '\n' || count > 32)
    throw std::runtime_error("not an image file: " + file.string());
  std::vector<Bytes> images;
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t size = 0;
    if (!(in >> size) || in.get() != '\n' || size > kMaxImageSize)
      throw std::runtime_error("bad image size in " + file.string());
    Bytes image(size);
    if (!in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(size)))
      throw std::runtime_error("image file cut short: " + file.string());
    images.push_back(std::move(image));
  }
  return images;
}

void WriteImages(const std::filesystem::path& file, const std::vector<Bytes>& images) {
  // Written beside the target and renamed over it, so that a crash never
  // leaves half a file where the last good one was.
  const std::filesystem::path temporary = file.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write image file " + temporary.string());
    out << kMagic << ' ' << images.size() << '\n';
    for (const Bytes& image : images) {
      out << image.size() << '\n';
      out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    if (!out.flush()) throw std::runtime_error("cannot write image file " + temporary.string());
  }
  std::filesystem::rename(temporary, file);
}

}  // namespace SimHub
