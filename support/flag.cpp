// Per-stream flags, kept in a table indexed by the stream's descriptor.
// Streams that share a descriptor hang in a chain behind its entry; streams
// without a descriptor (memory and cookie streams) share one chain of their
// own instead of indexing the table with -1.
#include <cstdlib>
#include <cstring>
#include <new>

#include "support/printf.h"

namespace sup {
namespace {

struct FlagEntry {
    FILE* fp;
    FlagEntry* next;
    int flags;
    int error;  // of the first failed write
};

FlagEntry _io_smyfl[10];
FlagEntry* _io_myfl = _io_smyfl;
FlagEntry _io_nofd;

// The table reaches descriptor d afterwards unless memory ran out, in which
// case the answer is the no-raise flag alone.
int _more_flags(FILE* f) {
    const int d = fileno(f);
    std::size_t n = static_cast<std::size_t>(_fl_max);
    while (n <= static_cast<std::size_t>(d)) n += static_cast<std::size_t>(_fl_inc);

    FlagEntry* table;
    if (_io_myfl == _io_smyfl) {
        table = static_cast<FlagEntry*>(std::calloc(n, sizeof(FlagEntry)));
        if (table != nullptr) std::memcpy(table, _io_smyfl, sizeof _io_smyfl);
    } else {
        table = static_cast<FlagEntry*>(std::realloc(_io_myfl, n * sizeof(FlagEntry)));
        if (table != nullptr)
            std::memset(table + _fl_max, 0, (n - static_cast<std::size_t>(_fl_max)) * sizeof(FlagEntry));
    }
    if (table == nullptr) return _IO_NORAISE;
    _io_myfl = table;
    _fl_max = static_cast<int>(n);
    return _io_get_my_flag(f);
}

// The entry that heads the chain for f's descriptor, or null when the table
// cannot reach it.
FlagEntry* head_for(FILE* f) {
    const int d = fileno(f);
    if (d < 0) return &_io_nofd;
    if (d >= _fl_max) return nullptr;
    return &_io_myfl[d];
}

}  // namespace

const int _fl_inc = 10;
int _fl_max = 10;

int _io_get_my_flag(FILE* f) {
    FlagEntry* e = head_for(f);
    if (e == nullptr) return _more_flags(f);
    if (e->fp == nullptr || e->fp == f) return e->flags;
    for (e = e->next; e != nullptr; e = e->next) {
        if (e->fp == f) return e->flags;
    }
    return 0;
}

void _io_set_my_flag(FILE* f, int flags) {
    FlagEntry* head = head_for(f);
    if (head == nullptr) {
        _more_flags(f);
        head = head_for(f);
        if (head == nullptr) return;
    }
    if (head->fp == nullptr) {
        head->fp = f;
        head->flags = flags;
        return;
    }
    for (FlagEntry* e = head; e != nullptr; e = e->next) {
        if (e->fp == f) {
            e->flags = flags;
            return;
        }
    }
    auto* rec = new (std::nothrow) FlagEntry{f, head->next, flags, 0};
    if (rec == nullptr) return;
    head->next = rec;
}

void _io_add_my_flag(FILE* f, int flags) { _io_set_my_flag(f, _io_get_my_flag(f) | flags); }

namespace {

// The entry of f itself, made when it has none; null when there is no room.
FlagEntry* entry_of(FILE* f) {
    _io_set_my_flag(f, _io_get_my_flag(f));
    FlagEntry* e = head_for(f);
    while (e != nullptr && e->fp != f) e = e->next;
    return e;
}

}  // namespace

int _io_write_error(FILE* f) {
    FlagEntry* e = entry_of(f);
    return e != nullptr ? e->error : 0;
}

void _io_note_write_error(FILE* f, int error) {
    FlagEntry* e = entry_of(f);
    if (e != nullptr && e->error == 0) e->error = error;
}

}  // namespace sup
