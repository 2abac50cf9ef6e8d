// Bounded composition of diagnostic text into a caller's buffer.
//
// The support library's bounded formatter reports the length of the whole
// text even when it had to cut it, so a piece that did not fit would move a
// naive composition position beyond the buffer. Every piece of every s-form
// in this library goes through Composer, which cuts the text at the end of
// the buffer, keeps it terminated and never moves past it.
#pragma once

#include "scg/scg.h"
#include "support/args.h"
#include "support/printf.h"

namespace scg_internal {

// Characters a bounded formatter actually stored for a reported count n in
// a buffer of `room` bytes (one of them is the terminator).
inline int stored_count(int n, int room) {
    if (n < 0) return n;
    if (room <= 0) return 0;
    return n < room ? n : room - 1;
}

class Composer {
public:
    // The buffer holds a terminated text from the start, so even an s-form
    // with nothing to say leaves an empty text behind.
    Composer(char* buf, int room) : pos_(buf), room_(room) {
        if (room_ > 0) *pos_ = '\0';
    }

    // Appends one formatted piece. False once any piece failed.
    template <class... A>
    bool put(const char* fmt, const A&... args) {
        SUP_CAPTURE(list, args);
        return vput(fmt, list);
    }
    bool vput(const char* fmt, sup::ArgList args) {
        if (failed()) return false;
        return take(sup::zt_vsnprintf(pos_, room_, fmt, args));
    }

    // Appends the output of an s-form that wrote at pos() with room():
    // `n` is what it returned (a reported length or a stored count).
    bool take(int n) {
        if (failed()) return false;
        if (n < 0) {
            result_ = n;
            return false;
        }
        int got = stored_count(n, room_);
        cut_ = got < n;
        pos_ += got;
        room_ -= got;
        total_ += got;
        return true;
    }

    char* pos() const { return pos_; }
    int room() const { return room_; }
    bool failed() const { return result_ < 0; }
    // The last piece did not fit and was cut at the end of the buffer.
    bool cut() const { return cut_; }
    // Characters stored so far, or the negative count of the piece that failed.
    int result() const { return failed() ? result_ : total_; }
    // Characters stored so far, failed or not.
    int stored() const { return total_; }

private:
    char* pos_;
    int room_;
    int total_ = 0;
    int result_ = 0;
    bool cut_ = false;
};

// The handle's error text: room left at errbuf_end, and moving errbuf_end
// by a count an s-form returned there (a negative count moves nothing).
inline int errbuf_room(const SCSI* scgp) {
    return SCSI_ERRBUF_SIZE - static_cast<int>(scgp->errbuf_end - scgp->errbuf);
}
inline void errbuf_advance(SCSI* scgp, int room, int n) {
    if (n > 0) scgp->errbuf_end += stored_count(n, room);
}

}  // namespace scg_internal
