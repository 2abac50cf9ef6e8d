#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/library.h"

namespace platform {
namespace {

// Beside the program (a copy of the simulator there wins, for trying it),
// then where the installed Linux layer goes.
const char* const kLayerPlaces[] = {"/WNASPI32", "/../lib/qvupdate/WNASPI32"};

// The folder of the running program, as the loader's $ORIGIN names it
// (links followed); empty with errno set when the system does not say.
std::string program_folder() {
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    std::string path(exe, static_cast<std::size_t>(n));
    return path.substr(0, path.find_last_of('/'));
}

}  // namespace

void* load_aspi_layer(std::string& why) {
    const std::string folder = program_folder();
    if (folder.empty()) {
        why = std::string("cannot find the program's folder: ") + std::strerror(errno);
        return nullptr;
    }
    const std::size_t places = std::size(kLayerPlaces);
    std::string path;
    for (std::size_t i = 0; i < places; i++) {
        path = folder + kLayerPlaces[i];
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0) break;
    }
    void* library = dlopen(path.c_str(), RTLD_NOW);
    if (library == nullptr) {
        const char* said = dlerror();
        why = said != nullptr ? said : path;
    }
    return library;
}

void* library_symbol(void* library, const char* name) { return dlsym(library, name); }

void free_library(void* library) { dlclose(library); }

}  // namespace platform
