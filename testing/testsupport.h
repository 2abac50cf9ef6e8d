// What the tests of every layer share. One helper for one job, so that a
// test file keeps only what is its own.
#pragma once

#include <string>

namespace qvtest {

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes. Throws when no folder can be made.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "qvtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` inside the folder.
    std::string Path(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace qvtest
