#include <windows.h>

#include "platform/library.h"

namespace platform {
namespace {

// Windows' text for its last error, without the line end.
std::string last_error() {
    const DWORD code = GetLastError();
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) n--;
    return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

std::string program_folder() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n == sizeof path) return {};
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/"));
}

// System32; for a 32-bit program on 64-bit Windows the system shows it
// SysWOW64 there, where 32-bit ASPI layers are installed.
std::string system_folder() {
    char path[MAX_PATH];
    UINT n = GetSystemDirectoryA(path, sizeof path);
    return n == 0 || n >= sizeof path ? std::string() : std::string(path, n);
}

}  // namespace

void* load_aspi_layer(std::string& why) {
    std::string path;
    for (const std::string& folder : {program_folder(), system_folder()}) {
        if (folder.empty()) continue;
        path = folder + "\\WNASPI32.DLL";
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) break;
    }
    if (path.empty()) {
        why = "cannot find the program's folder: " + last_error();
        return nullptr;
    }
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) why = path + ": " + last_error();
    return library;
}

void* library_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void free_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

}  // namespace platform
