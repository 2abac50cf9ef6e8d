// A scripted transport for tests: an scg_ops table whose send plays back
// results queued by the test and records every command it was handed.
//
// Usage:
//
//     scg_fake::FakeTransport fake;         // becomes the active fake
//     SCSI* scgp = fake.make_handle();      // scg_smalloc, fake table, address 0,1,0
//     fake.push(qvtest::CheckCondition(0x02, 0x3A));  // testing/scsitest.h
//     ... fill scgp->cmdrec, call scg_cmd(scgp) or a drive command ...
//     EXPECT_EQ(fake.sent.at(0).cdb[0], 0x00);
//     scg_sfree(scgp);
//
// The table's slots reach the active FakeTransport (the one constructed
// last and still alive), so one fake serves every handle of a test; tests
// are single-threaded. Handles made here keep transport_data null: scg_sfree
// frees that field, and the fake keeps its state itself.
//
// UseAsStdTransport makes scg_open/scg__open install the fake instead of the
// ASPI table, so address parsing and open run without any ASPI layer.
// FakeClock scripts the time of day that scg_cmd reads.
#pragma once

#include <sys/time.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "scg/scg.h"

namespace scg_fake {

// One scripted answer of the send slot.
struct Reply {
    int send_ret = 0;    // what send returns; negative: the command could not be sent
    int send_errno = 0;  // errno left by send (any value; set only when non-zero)
    int error = SCGE_NONE;
    int ux_errno = 0;
    unsigned char status[SCG_MAX_STATUS] = {0, 0, 0};
    std::vector<unsigned char> sense;  // copied into the record (the first 32 bytes)
    int sense_received = -1;           // -1: the number of bytes copied from `sense`
    int resid = 0;
    std::vector<unsigned char> data;    // copied into addr for SCGF_RECV, at most size bytes
    std::function<void(SCSI*)> during;  // runs inside send, after the record is filled
};

// What send saw of one command.
struct Sent {
    std::vector<unsigned char> cdb;  // the first cdb_len bytes (at most 24)
    int cdb_len = 0;
    int flags = 0;
    int size = 0;
    int timeout = 0;
    int sense_len = 0;
    int driver_debug = 0;
    void* addr = nullptr;
    std::vector<unsigned char> data;  // copy of the outgoing data (no SCGF_RECV)
    int bus = 0, target = 0, lun = 0, fd = 0;
    std::string cmd_name;  // the handle's cmd_name, "" when null
};

class FakeTransport {
public:
    FakeTransport();
    ~FakeTransport();
    FakeTransport(const FakeTransport&) = delete;
    FakeTransport& operator=(const FakeTransport&) = delete;

    // The operation table; every slot dispatches to the active fake.
    static const scg_ops ops;

    // A new handle (scg_smalloc) on this table, addressed at bus, target, lun
    // through scg_settarget. Release it with scg_sfree or scg_close.
    SCSI* make_handle(int bus = 0, int target = 1, int lun = 0);

    // Queues a reply; send takes them in order and uses `fallback` (a clean
    // success) once the queue is empty.
    void push(const Reply& r) { replies.push_back(r); }
    std::deque<Reply> replies;
    Reply fallback;
    // When set, answers every command instead (after it is recorded): fills
    // the record as a transport would and returns what send returns.
    std::function<int(SCSI*)> respond;

    std::vector<Sent> sent;  // every command send was handed, in order

    // Answers of the other slots.
    int open_result = 1;                 // open: > 0 succeeds
    std::vector<std::string> opened;     // device names given to open ("(null)" for null)
    std::function<void(SCSI*)> on_open;  // runs inside open (e.g. to write errbuf)
    int close_result = 0;
    int closes = 0;
    long maxdma = 64512;
    std::vector<int> buses = {0};  // havebus answers 1 for these
    // fileno: by default bus*64 + target*8 + lun for addresses with every part
    // 0..7 on an existing bus, else -1.
    std::function<int(int bus, int target, int lun)> fileno;
    int initiator_id = 7;
    int isatapi = 0;
    int reset_result = 0;
    std::vector<int> resets;  // codes given to reset
    const char* version_text = "fake-1.0";
    int freebufs = 0;  // calls of freebuf

    static FakeTransport* active();

private:
    FakeTransport* previous_;
};

// While alive, scg__open installs FakeTransport::ops for ordinary names.
class UseAsStdTransport {
public:
    UseAsStdTransport();
    ~UseAsStdTransport();
    UseAsStdTransport(const UseAsStdTransport&) = delete;
    UseAsStdTransport& operator=(const UseAsStdTransport&) = delete;

private:
    const scg_ops* previous_;
};

// While alive, the time of day that scg_cmd and __scg_times read comes from
// this queue, one value per read; an empty queue repeats the last value.
class FakeClock {
public:
    FakeClock();
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void push(long sec, long usec);
    int reads = 0;

private:
    friend void fake_clock_read(struct timeval* tv);
    std::deque<struct timeval> times_;
    struct timeval last_ = {0, 0};
    void (*previous_)(struct timeval*);
};

}  // namespace scg_fake
