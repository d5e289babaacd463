#pragma once

#include <string>
#include <vector>

#include "imgkit/imgkit.h"

namespace imgkit::detail {

std::vector<ManifestEntry> fill_ntfs(const std::string &image, const Profile &profile, uint64_t seed);
std::vector<ManifestEntry> fill_fat(const std::string &image, const Profile &profile, uint64_t seed);

}  // namespace imgkit::detail
