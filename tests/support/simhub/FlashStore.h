#pragma once

// Sensor flash images on disk, so that the standalone hub keeps what was
// written to it across runs.
//
// File format: the text line "simhub-images <count>\n", then for each sensor
// in order the text line "<size>\n" followed by exactly <size> raw bytes.

#include <filesystem>
#include <vector>

#include "simhub/SimulatedHub.h"

namespace SimHub {

std::vector<Bytes> ReadImages(const std::filesystem::path& file);  // throws std::runtime_error
void WriteImages(const std::filesystem::path& file, const std::vector<Bytes>& images);

}  // namespace SimHub
