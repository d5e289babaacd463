// What libntfs-3g and ntfsls say about an NTFS image: the independent
// reference of the image tests. Kept apart from the engine's headers (the
// library's own BOOL and layout names clash with them).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ntfsref {

struct Run {
    int64_t lcn;  // -1: no disk space
    int64_t length;
    bool operator==(const Run &o) const { return lcn == o.lcn && length == o.length; }
};

// One attribute record of the type looked for, in the order libntfs-3g's
// lookup gives them (attribute-list order when there is a list).
struct Piece {
    uint64_t record;  // record holding it
    bool resident;
    std::vector<Run> runs;
};

// A non-resident attribute other than data and index allocation (an
// attribute list, an index bitmap, an extended attribute ...): one attribute
// record of it.
struct Other {
    uint32_t type = 0;
    uint64_t record = 0;  // record holding it
    std::vector<Run> runs;
    std::vector<uint8_t> value;  // the attribute's value (read with its first attribute record)
};

struct Record {
    uint64_t number = 0;
    bool directory = false;
    uint32_t fileAttributes = 0;  // $STANDARD_INFORMATION
    bool hasStandardInformation = false;
    int attributeList = 0;      // 0 none, 1 resident, 2 non-resident
    std::vector<Piece> data;    // $DATA pieces (any name)
    std::vector<Piece> index;   // $INDEX_ALLOCATION pieces (any name)
    std::vector<Other> others;  // the non-resident attributes other than $DATA and $INDEX_ALLOCATION
};

struct Volume {
    uint32_t clusterSize = 0;
    uint32_t recordSize = 0;
    std::map<uint64_t, Record> records;  // in-use base records
    std::vector<uint8_t> mft;            // the MFT's data as on disk (protected)
    std::vector<uint8_t> mftFixed;       // the same with libntfs-3g's fix-ups removed ("" where they fail)
    std::vector<bool> mftFixedOk;
    std::vector<Run> mftRuns;  // the MFT's run list
    std::string error;
};

Volume Load(const std::string &image);

// Paths as ntfsls -R lists them (forced on a volume marked for a check) ("/dir/name"), by record number.
std::map<uint64_t, std::set<std::string>> ListPaths(const std::string &image, std::string *error);

// Adjacent runs merged (sparse with sparse, contiguous with contiguous).
std::vector<Run> Merge(const std::vector<Run> &runs);

}  // namespace ntfsref
