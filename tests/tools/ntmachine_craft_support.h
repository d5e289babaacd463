// Files laid out on an NTFS image for a test, through libntfs-3g: files grown
// in turn (so that their runs interleave), holes, named streams. Throws
// std::runtime_error when libntfs-3g refuses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace craft {

class Ntfs {
public:
    explicit Ntfs(const std::string &image);  // mounts it read-write
    ~Ntfs();                                  // unmounts, writing everything back
    Ntfs(const Ntfs &) = delete;
    Ntfs &operator=(const Ntfs &) = delete;

    uint64_t cluster_size() const;
    // Creates the files \name (in the root) and grows them in turn, `rounds`
    // times by `clusters` clusters each, so that each ends in `rounds`
    // fragments when nothing else takes the space between.
    void grow_in_turn(const std::vector<std::string> &names, uint64_t clusters, int rounds);
    // Writes `bytes` bytes at `offset` of \name's stream (unnamed when
    // empty), creating the file or the stream; a write past the end leaves
    // a hole.
    void write(const std::string &name, uint64_t offset, uint64_t bytes, const std::string &stream = "");
    void remove(const std::string &name);

private:
    struct State;
    State *s_;
};

}  // namespace craft
