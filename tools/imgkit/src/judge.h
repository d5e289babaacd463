// Reading the verdicts of the checking tools from their exit codes and
// messages. Kept apart from running them so that the rules can be tested on
// recorded outputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "util.h"

namespace imgkit::detail {

struct Verdict {
    enum Kind { clean = 0, lost = 1, fault = 2, tool_error = 4 } kind = tool_error;
    std::string reason;              // empty when clean
    std::vector<std::string> lines;  // the lines that decided it
    uint64_t lost_clusters = 0;
    bool dirty = false;
};

// ntfsresize --info --force --no-progress-bar -v
Verdict judge_ntfsresize(const ProcResult &r);
// ntfs-3g.probe --readonly
Verdict judge_probe(const ProcResult &r);
// ntfsfix -n
Verdict judge_ntfsfix(const ProcResult &r);
// fsck.fat -n. `fsinfo_agrees`: the FSInfo free count is unknown or equals the
// free clusters counted in the FAT, so that a "Free cluster summary wrong"
// only follows from clusters fsck would reclaim.
Verdict judge_fsck_fat(const ProcResult &r, bool fsinfo_agrees);

}  // namespace imgkit::detail
