// The saved command line and the program name that starts every diagnostic.
#include <cstdlib>
#include <cstring>

#include "support/utils.h"

namespace sup {
namespace {

int ac_saved = 0;
char** av_saved = nullptr;
char* av0_saved = nullptr;
char* progname_saved = nullptr;
char av0_sp[32];
char prn_sp[32];
const char dfl_str[] = "?";

// Replaces *slot by a copy of name: the static buffer when the name fits,
// else the heap. A previous heap copy is released; without memory, or without
// a name, no copy is kept and get_progname falls back.
void keep_copy(char*& slot, char* sbuf, std::size_t sbuf_size, const char* name) {
    if (slot != nullptr && slot != sbuf) std::free(slot);
    slot = nullptr;
    if (name == nullptr) return;
    std::size_t n = std::strlen(name) + 1;
    char* to = n <= sbuf_size ? sbuf : static_cast<char*>(std::malloc(n));
    if (to == nullptr) return;
    std::memcpy(to, name, n);
    slot = to;
}

}  // namespace

void save_args(int ac, char** av) {
    ac_saved = ac;
    av_saved = av;
    keep_copy(av0_saved, av0_sp, sizeof av0_sp, ac > 0 && av != nullptr ? av[0] : nullptr);
}

int saved_ac() { return ac_saved; }
char** saved_av() { return av_saved; }
const char* saved_av0() { return av0_saved; }

void set_progname(const char* name) { keep_copy(progname_saved, prn_sp, sizeof prn_sp, name); }

const char* get_progname() {
    if (progname_saved != nullptr) return progname_saved;
    if (av0_saved != nullptr) return av0_saved;
    return dfl_str;
}

}  // namespace sup
