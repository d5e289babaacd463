// Helpers for the image test kit's own tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "imgkit/imgkit.h"
#include "util.h"

namespace imgkit_test {

// A scratch folder per test, removed afterwards.
class Scratch : public ::testing::Test {
protected:
    std::string file(const std::string &name) const { return dir_.path() + "/" + name; }
    static std::string copy_of(const std::string &from, const std::string &to) {
        imgkit::copy_image(from, to);
        return to;
    }

private:
    imgkit::detail::TempDir dir_;
};

// The standard output of a tool (standard error dropped).
inline std::string tool(const std::vector<std::string> &argv, bool mtools = false) {
    auto r = imgkit::detail::run(argv, mtools ? imgkit::detail::mtools_env() : std::vector<std::string>{}, false);
    EXPECT_TRUE(r.started) << argv[0] << " did not start";
    return r.output;
}

inline std::set<std::string> manifest_files(const imgkit::Manifest &m) {
    std::set<std::string> out;
    for (auto &e : m.files)
        if (e.path.find(':') == std::string::npos) out.insert(e.path);
    return out;
}

// The first manifest file of at least `min_size` bytes without a stream part.
inline std::string some_file(const imgkit::Manifest &m, uint64_t min_size) {
    for (auto &e : m.files)
        if (e.size >= min_size && e.path.find(':') == std::string::npos) return e.path;
    ADD_FAILURE() << "no file of " << min_size << " bytes in the manifest";
    return "";
}

}  // namespace imgkit_test
