#include "fwimage/fwtables.h"

#include <algorithm>
#include <cctype>
#include <cstring>

// "CD-R" rows have three blanks after CD-R, "CD-ROM" rows one, so the model
// name always starts at index 7.
const char ProductID[NUM_PRODUCTS][PRODUCT_ID_LEN + 1] = {
    "CD-ROM QV-B1MA  ",  //  0
    "CD-ROM QV-B1MB  ",  //  1
    "CD-ROM QV-B1MC  ",  //  2
    "CD-ROM QV-B2MB  ",  //  3
    "CD-ROM QV-B3MB  ",  //  4
    "CD-ROM QV-B5MB  ",  //  5
    "CD-ROM QV-B5NB  ",  //  6
    "CD-ROM QV-B6NB  ",  //  7
    "CD-ROM QV-B7NB  ",  //  8
    "CD-ROM QV-B7MB  ",  //  9
    "CD-R   QV-G253K ",  // 10: normal mode
    "*Loader Mode 1* ",  // 11: QV-G253K held in loader mode by its jumper
    "CD-ROM QV-B8NB  ",  // 12
    "CD-R   QV-G567L ",  // 13
    "CD-ROM QV-B8NV  ",  // 14
    "CD-R   QV-H3551L",  // 15
    "CD-R   QV-H7551L",  // 16
    "CD-ROM QV-xxNB  ",  // 17: never reported; type 12 remapped by revision
    "CD-R   QV-H7763L",  // 18
    "CD-R   QV-H953NB",  // 19
    "CD-R   QV-H9549A",  // 20
    "CD-R   QV-H9549S",  // 21
    "CD-R   QV-H9749A",  // 22
};
const int numProds = NUM_PRODUCTS;

// Order matters: an image carrying the loader-mode identity is type 11 even
// when a code name field is present too.
constexpr IdentityRow identity_rows[] = {
    {0x180, 24, "DRAVLIN CD-R   QV-G253K ", 11},
    {0x7FF1C, 19, "DRAVLIN HALDWYN 000", 13},
    {0x7FF1C, 19, "DRAVLIN KESTREM 000", 15},
    {0x7FF1C, 19, "DRAVLIN ORVENT  000", 16},
    {0x5FF1C, 19, "DRAVLIN TAMBRIL 000", 18},
    {0x7FF1C, 19, "DRAVLIN SELQUIN 000", 19},
    {0x1001C, 19, "DRAVLIN DUNMAR  000", 20},
    {0x1001C, 19, "DRAVLIN FARROWK 000", 21},
    {0x10030, 19, "DRAVLIN BELCRAY 000", 22},
    {0x41F4, 8, "GWYL 002", 12},
    {0x41F4, 8, "NORVA202", 14},
    {0x41F4, 8, "ZEP  003", 17},
};
const int num_identity_rows = sizeof identity_rows / sizeof identity_rows[0];

// The drive types of a row stand on one line, as in a table.
// clang-format off
const ChecksumRow* checksum_row(int type) {
    static const ChecksumRow loader = {0x0, 0x3FFFE};     // 8 x 32768 - 2
    static const ChecksumRow rom384 = {0x0, 0x5FFFE};     // 12 x 32768 - 2
    static const ChecksumRow rom480 = {0x0, 0x77FFE};     // 15 x 32768 - 2
    static const ChecksumRow rom512 = {0x0, 0x7FFFE};     // 16 x 32768 - 2
    static const ChecksumRow rom128 = {0x4100, 0x1FFFE};  // first 0x4100 uncovered
    switch (type) {
    case 11: return &loader;
    case 18: return &rom384;
    case 20: case 21: case 22: return &rom480;
    case 13: case 15: case 16: case 19: return &rom512;
    case 12: case 14: case 17: return &rom128;
    default: return nullptr;
    }
}

const TransferPlan* transfer_plan(int type) {
    static const TransferPlan rom = {ROM_PROGRAMMING, 8, ROM_PIECE};  // 256 KiB
    static const TransferPlan wb64 = {WRITE_BUFFER, 64, WB_PIECE};    // 512 KiB
    static const TransferPlan wb16 = {WRITE_BUFFER, 16, WB_PIECE};    // 128 KiB
    switch (type) {
    case 11: return &rom;
    case 13: case 15: case 16: case 18: case 19: case 20: case 21: case 22: return &wb64;
    case 12: case 14: case 17: return &wb16;
    default: return nullptr;
    }
}
// clang-format on

const IdentityRow* identity_row(int type) {
    for (int i = 0; i < num_identity_rows; i++)
        if (identity_rows[i].type == type) return &identity_rows[i];
    return nullptr;
}

// The loader image's identity field is what the flash identity area shows.
static_assert(identity_rows[0].type == LOADER_TYPE &&
                  FLASH_ID_AREA == FLASH_READ_BASE + identity_rows[0].offset &&
                  FLASH_ID_VERSION_AT == identity_rows[0].length,
              "the flash identity area is where the loader image's identity field lands");

int product_type(const char* product) {
    int type = NO_TYPE;
    for (int i = 0; i < numProds; i++)
        if (std::memcmp(ProductID[i], product, PRODUCT_ID_LEN) == 0) type = i;
    return type;
}

int type_by_revision(int type, const char* revision) { return type == 12 && revision[2] == '1' ? 17 : type; }

namespace {

constexpr int kModelAt = 7;  // "CD-ROM " and "CD-R   " are both 7 wide

}  // namespace

std::string_view model_name(int type) {
    if (type == LOADER_TYPE) type = NORMAL_MODE_TYPE;
    if (type < 0 || type >= numProds) return {};
    std::string_view name(ProductID[type] + kModelAt);
    return name.substr(0, name.find_last_not_of(' ') + 1);
}

std::string_view image_model_name(int type) { return model_name(type == 17 ? 12 : type); }

int image_type(std::string_view name, std::string_view version) {
    auto same = [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
    };
    for (int t = 0; t < numProds; t++) {
        std::string_view model = image_model_name(t);
        if (identity_row(t) == nullptr ||
            !std::equal(model.begin(), model.end(), name.begin(), name.end(), same))
            continue;
        return version.size() == VERSION_LEN ? type_by_revision(t, version.data()) : t;
    }
    return -1;
}
