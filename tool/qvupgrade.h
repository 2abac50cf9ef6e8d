// The firmware update tool qvupdate. One module, kept in files by concern:
// qvupgrade.cpp (main, command line), session.cpp (session set-up),
// imagecheck.cpp (image identification and checksum), drivetype.cpp (drive
// model identification), listing.cpp (listing, jumper notice), upgrade.cpp
// (the upgrade procedure).
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "drivecmd/pcmd.h"
#include "fwimage/fwtables.h"

extern int debug;              // -debug
extern int UpgradeDrive;       // drive type of the loaded image
extern unsigned char* buffer;  // the transport's I/O buffer, >= 32768 bytes

// The program: main() only forwards to it.
int qvupgrade_main(int argc, char** argv);

// The highest host adapter or target the command line may name: ASPI
// addresses them in a byte.
inline constexpr int kHighestAddress = 255;
// The number after -id: or -ha: (arg is the whole argument), read the way
// atoi reads it with the four option characters blanked out: "-id:" alone
// is 0, "-id:-1" is -1. False for a number outside lowest..kHighestAddress.
bool OptionNumber(const char* arg, int lowest, int& number);
// False for a dev= text that leaves out the bus or target number ("," ",2"
// "1,,0") or the address after a colon (":" "1:"): the library would read
// 0 or a default target for it. The documented forms (bus,target,lun;
// target,lun; "target,"; empty) and what the library refuses by itself pass.
bool DevTextNamesTarget(std::string_view text);

// Opens scgp, reconciles dev= with -ha:/-id:, gets buffer, fills the drive
// table. Returns only on success.
void initscsi(const char* devtext, int* ha, int* id);

// The image as read once from its file; every check and every piece sent
// comes from this copy.
using Image = std::span<const unsigned char>;

// Reads the image file, up to the most a transfer sends. Ends the run with
// status 1 when it cannot be opened or is not a regular file.
std::vector<unsigned char> ReadUpgradeFile(const char* file);
// Drive type of an image, or -1.
int GetUpgradeInfo(Image image);
// 1 when the image's checksum is right, else 0.
int isValidUpgradeFile(Image image, int type);
// 1 when the image holds every byte that the transfer for its drive type
// sends; the checksum of some types covers less than that.
int isCompleteUpgradeFile(Image image, int type);

// Drive type of the drive at (ha, id): 0..22, -1, -2. text: >= 80 bytes or null.
int DravlinType(int ha, int id, char* text);
char* RemoveSpaces(const char* src, char* dst);
// The model name of a drive type for messages ("QV-G567L"; type 11 gives
// row 10's name), written into out (>= 17 bytes).
char* ModelName(int type, char* out);

void ListDrives();
void PrintJumper();

// 1 when every transfer command succeeded and the drive then showed the
// image's version (or flash identity), 0 otherwise. at_risk (may be null)
// tells whether a failed transfer may have left the flash partly written.
int upgrade(int ha, int id, Image image, bool* at_risk);

// Drive texts (INQUIRY fields, version texts) made safe to print: control
// characters and DEL become '?'.
char* PrintableText(char* text);
