// The firmware update tool qvupdate. One module, kept in files by concern:
// qvupgrade.cpp (the run, command line), session.cpp (session set-up),
// imagecheck.cpp (image identification and checksum), drivetype.cpp (drive
// model identification), listing.cpp (listing, jumper notice), upgrade.cpp
// (the upgrade procedure). Only main (main.cpp) ends a run: below it every
// function returns what ends it.
#pragma once

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "drivecmd/pcmd.h"
#include "fwimage/fwtables.h"
#include "fwimage/imagefile.h"

// The target id of a command line that names none.
inline constexpr int kNoTarget = -1;

// What the command line asks for.
struct Options {
    const char* file = "";  // whole: a name too long to open is refused, not cut
    const char* devtext = nullptr;
    int ha = 0;
    int id = kNoTarget;
    bool all = false;
    bool list = false;
    bool help = false;
    bool file_given = false;
    bool bad_address = false;      // an -ha:, -id: or dev= that names no drive
    bool debug = false;            // -debug
    bool dry_run = false;          // --dry-run: every check, nothing written
    bool options_help = false;     // --help
    bool version = false;          // --version
    const char* log = nullptr;     // --log FILE: the ASPI layer's command log
    const char* record = nullptr;  // --record FILE: the ASPI layer's transcript
    const char* backup = nullptr;  // --backup FILE: the flash before the erase
    bool ha_given = false;         // -ha: was given
    // Why the command line is refused (an unknown long option, a missing
    // value), said on standard error; empty: it is not.
    std::string refused;
};

// What the loaded ASPI layer offers beyond ASPI, looked up by name (see
// LookUpLayer); null where it lacks an entry.
struct LayerEntries {
    // The command log to a file: 1 when it is open.
    int (*log_to)(const char* path) = nullptr;
    // The transcript of every command to a new file, with the program's name
    // and version in its head: 1 when it is made.
    int (*record_to)(const char* path, const char* program) = nullptr;
    // "/dev/sgN (H:C:T:L)" of an address, as snprintf fills a buffer; -1
    // when nothing is there.
    int (*device_name)(int ha, int target, int lun, char* text, int size) = nullptr;
    // The address of a kernel name (/dev/sgN, H:C:T:L): 1 when found.
    int (*device_address)(const char* name, int* ha, int* target, int* lun) = nullptr;
};

// What a run shares: the options, the transport handle with its I/O buffer
// and drive table, the image's drive type, the state of the dialogue and the
// status the run ends with. One per run; every function of the run takes it.
struct Session {
    Session() = default;
    // Closes the handle; a run that ends leaves that to its end.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Options options;
    SCSI* scgp = nullptr;
    unsigned char* buffer = nullptr;  // the transport's I/O buffer, >= 32768 bytes
    DriveTable drives;
    int UpgradeDrive = 0;  // drive type of the loaded image
    bool printed = false;  // the warning was shown and confirmed
    int status = 0;        // 1 once an upgrade failed
    FILE* input = stdin;   // where the answers are typed
    LayerEntries layer;
    Drive named{-1, -1};  // the drive whose kernel name was shown last
    int backups = 0;      // flashes saved by --backup so far
};

// How a run ends, decided below main, which carries it out.
struct RunEnd {
    explicit RunEnd(int status, std::string message = "", bool fatal = false)
        : status(status), message(std::move(message)), fatal(fatal) {}

    int status;
    // A diagnostic that main says through the error functions, after the
    // program name, as the run ends.
    std::string message;
    // The message is a fatal report: it shows the error text of status.
    bool fatal;
};

// The run from the command line on: main ends it as the result says.
RunEnd RunProgram(Session& s, int argc, char** argv);

// The highest host adapter or target the command line may name: ASPI
// addresses them in a byte.
inline constexpr int kHighestAddress = 255;
// The number after -id: or -ha: (arg is the whole argument): a whole decimal
// number from lowest to kHighestAddress, without sign, blank, base prefix or
// leading zero; "-id:" alone is 0 and "-id:-1" is -1. None for anything else.
std::optional<int> OptionNumber(const char* arg, int lowest);
// False for a dev= text whose numbers are not whole decimal numbers as
// OptionNumber takes them, or that leaves out the bus or target number (","
// ",2" "1,,0") or the address after a colon (":" "1:"): the library would
// read 0, a default target, or another base. The documented forms
// (bus,target,lun; target,lun; "target,"; empty), names and the remote
// forms pass, for the library to judge.
bool DevTextNamesTarget(std::string_view text);

// Opens scgp, reconciles dev= with -ha:/-id: (the options' ha and id become
// the dev= address, also one the layer finds by a kernel name), hands the
// layer the log file of --log, gets buffer, fills the drive table. What
// ends the run when one of these failed, said or to be said.
std::optional<RunEnd> initscsi(Session& s);

// True for a dev= text that names a drive as the kernel does (a path such
// as /dev/sg3, or H:C:T:L such as 2:0:0:0), which only a layer that knows
// the kernel's names can resolve.
bool DevTextIsName(std::string_view text);
// The entries of the layer that scgp's transport loaded.
LayerEntries LookUpLayer(SCSI* scgp);
// "HA:0 ID:2 = /dev/sg3 (2:0:0:0)" on standard error, once for a drive in
// a row, where the layer knows the kernel's name of the address.
void SayDriveName(Session& s, Drive at);

// The image as read once from its file; every check and every piece sent
// comes from this copy.
using Image = std::span<const unsigned char>;

// The bytes of the image file as fwimage::read_image_file read them. None,
// said on standard output, when it could not be opened or is not a regular
// file.
std::optional<std::vector<unsigned char>> TakeUpgradeFile(fwimage::ImageFile f, const char* file);
// Drive type of an image, or NO_TYPE.
int GetUpgradeInfo(const Session& s, Image image);
// True when the image's checksum is right.
bool isValidUpgradeFile(const Session& s, Image image, int type);

// The room of a drive's description ("DRAVLIN CD-R   QV-G567L  V1.00").
inline constexpr int kDescriptionLen = 80;
// Drive type of the drive at an address: 0..22, NO_TYPE, UNKNOWN_PRODUCT.
// text: kDescriptionLen bytes or null.
int DravlinType(const Session& s, Drive at, char* text);
// The drive type with the reply of the INQUIRY that decided it, which tells
// a drive in use from an empty address, and the texts it answered (each
// empty when it did not).
struct Identified {
    int type;
    Reply reply;
    InquiryText inquiry{};
};
Identified IdentifyDrive(const Session& s, Drive at, char* text);
char* RemoveSpaces(const char* src, char* dst);
// The model name of a drive type for messages ("QV-G567L"; type 11 gives
// row 10's name), written into out (>= 17 bytes).
char* ModelName(int type, char* out);

void ListDrives(Session& s);
// After -all: one line on standard error for each drive the listing shows
// beyond the targets the scan walks, which no walk offers.
void SayBeyondScan(Session& s);
void PrintJumper();

// What became of the upgrade of one drive.
enum class UpgradeResult {
    done,  // every piece went through and the drive shows the image
    // A transfer command failed, or the drive does not show the image.
    failed,
    // As failed, and the flash may be partly written.
    failed_at_risk,
    // Not upgraded, and said why (declined, another drive or none at the
    // address, a drive in use, a disc, the end of the answers): the run ends
    // with status 1.
    refused,
    // --dry-run: every check passed, and what would be written was said.
    checked,
};
UpgradeResult upgrade(Session& s, Drive at, Image image);

// The file of the nth flash that --backup FILE saves in a run (from 0): FILE
// for the first, FILE.HA-ID for the others.
std::string BackupName(const char* file, int nth, Drive at);
// Writes bytes into a new file at path, whole and on the disk before it gets
// that name, never replacing a file nor writing through a link. Why not,
// or empty.
std::string SaveBackup(const std::string& path, std::span<const unsigned char> bytes);

// Drive texts (INQUIRY fields, version texts) made safe to print: control
// characters, DEL and every byte above ASCII become '?'.
char* PrintableText(char* text);
