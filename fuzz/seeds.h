// The seed generators' one job: each input a file of its own in the folder
// the build names.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace seeds {

inline void write(const char* dir, const std::string& name, const std::string& bytes) {
    std::ofstream out(std::string(dir) + "/" + name, std::ios::binary);
    out << bytes;
    if (!out.flush()) {
        std::perror(name.c_str());
        std::exit(1);
    }
}

}  // namespace seeds
