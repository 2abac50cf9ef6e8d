#include "testing/testsupport.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace qvtest {

TempDir::TempDir(const std::string& prefix) {
    std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + tmpl);
    path_ = tmpl;
}

TempDir::~TempDir() {
    // Whatever a failed test left inside goes too; leftovers are harmless.
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace qvtest
