// Helpers of the volume-setup tests: faults made on purpose in an NTFS
// image's $Volume record (the dirty flag, another NTFS version), what
// ntfsinfo says about an image, and host commands with their output.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "shell.h"

namespace setuptest {

// Changes the $VOLUME_INFORMATION of record 3 ($Volume) of the NTFS volume
// in `image`, in the MFT and in its mirror alike (libntfs-3g refuses a
// volume whose two copies differ): ORs `setFlags` into the volume flags and,
// when not negative, sets the major and minor version. The records' update
// sequence is undone and applied again around the change. False (with the
// reason) when the image does not hold what is expected.
bool PatchVolumeInformation(const std::string &image, uint16_t setFlags, int major, int minor, std::string *why);

// The "Name: value" lines of `ntfsinfo -m` on an image, by name (the first
// of each name); empty when ntfsinfo fails.
std::map<std::string, std::string> NtfsInfo(const std::string &image);

using Command = testshell::Result;
using testshell::Quote;
using testshell::Run;

}  // namespace setuptest
