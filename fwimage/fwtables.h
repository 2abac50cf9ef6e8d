// The constant facts about the maker's drives and their firmware images: the
// product table, the image identity rows, the checksum rows, the transfer
// plans, the flash commands and layout. Data and lookups only, shared by the
// tool, the image builder and the simulated drives, so that they agree byte
// for byte.
#pragma once

#include <cstdint>
#include <string_view>

enum { NUM_PRODUCTS = 23, PRODUCT_ID_LEN = 16 };

// Row index = drive type. Each row: the 16-character INQUIRY product id, then
// a zero byte.
extern const char ProductID[NUM_PRODUCTS][PRODUCT_ID_LEN + 1];
extern const int numProds;

// The INQUIRY vendor field of the maker's drives.
inline constexpr char VENDOR_ID[] = "DRAVLIN ";

enum {
    NORMAL_MODE_TYPE = 10,  // the QV-G253K in its normal mode
    LOADER_TYPE = 11,       // the same drive held in its loader mode by a jumper
    // Drive types that are no row: no drive of the maker at an address (and
    // no identity in an image), and a drive of the maker whose product id is
    // in no row.
    NO_TYPE = -1,
    UNKNOWN_PRODUCT = -2,
};

// An identity field of a firmware image: `length` bytes of `text` at
// `offset` mark an image for drive type `type`. Tried in table order.
struct IdentityRow {
    long offset;
    int length;
    const char* text;
    int type;
};
extern const IdentityRow identity_rows[];
extern const int num_identity_rows;

// The identity row of a drive type, or null.
const IdentityRow* identity_row(int type);

// The checksum of an image: the bytes from `start` up to `stored_at` - 1,
// summed modulo 65536; the big-endian sum stands at `stored_at`.
struct ChecksumRow {
    long start;
    long stored_at;
};
// The row for a drive type, or null for a type that has none.
const ChecksumRow* checksum_row(int type);

// Pieces of the two transfer procedures.
enum : std::uint32_t {
    WB_PIECE = 8192,      // WRITE BUFFER download piece
    ROM_PIECE = 32768,    // flash block of the loader mode
    MAX_IMAGE = 0x80000,  // the most any transfer sends
};

// How an image of a drive type goes into the drive.
enum TransferProcedure { ROM_PROGRAMMING, WRITE_BUFFER };
struct TransferPlan {
    TransferProcedure procedure;
    int pieces;      // the last one is the closing piece
    int piece_size;  // bytes
};
// The plan for a drive type, or null for a type that has no image.
const TransferPlan* transfer_plan(int type);

// The maker's flash commands of the loader mode.
enum : std::uint8_t {
    OP_ERASE_ROM = 0xE1,
    OP_WRITE_ROM = 0xE2,
    OP_READ_ROM = 0xE3,
};

// The WRITE BUFFER modes of a download: each piece but the last only fills
// the drive's download buffer; the last one has the drive save it to flash.
enum : std::uint8_t {
    WB_MODE_DOWNLOAD = 4,
    WB_MODE_SAVE = 5,
};
// The control byte of a flash write: more blocks follow, or the last one.
enum : std::uint8_t {
    ROM_MORE = 1,
    ROM_LAST = 0,
};

// The flash as the read command addresses it: the image starts at
// FLASH_READ_BASE, so the loader image's identity field (and the version
// after it) is read back at FLASH_ID_AREA.
enum : std::uint32_t {
    FLASH_READ_BASE = 0x100000,
    FLASH_ID_AREA = 0x100180,
    FLASH_ID_AREA_LEN = 32,
    FLASH_ID_VERSION_AT = 24,  // the version inside the area
    VERSION_LEN = 4,
};

// The row of a 16-byte INQUIRY product field, or -1.
int product_type(const char* product);

// The drive type of a drive that reports the product row `type` and the
// 4-character `revision`. Type 17 has no product id of its own: it is a
// QV-B8NB (type 12) whose firmware revision has "1" as third character.
int type_by_revision(int type, const char* revision);

// The model name of a drive type in messages: its product id from index 7
// on without trailing blanks ("QV-G567L"); the loader mode gives the normal
// mode's name. Empty for a type without a row.
std::string_view model_name(int type);
// The model an image of a type is announced as ("Upgrade file for %s
// loaded"): type 17 is the QV-B8NB whose revision decides its type.
std::string_view image_model_name(int type);

// The drive type of an image for the model `name` (as image_model_name
// gives it, "QV-G567L"; letters in either case) with `version`: the one
// model name a type with an image has. QV-B8NB, the name of types 12 and 17,
// is decided by the version as the drive decides it (type_by_revision).
// -1 for a name that no image is for.
int image_type(std::string_view name, std::string_view version);
