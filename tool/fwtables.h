// The tool's constant data about drives and firmware images: the product
// table, the image identity rows, the checksum rows and the transfer plans.
// Data only, so that the image builder and the simulated drives can share it
// with the tool.
#pragma once

enum { NUM_PRODUCTS = 23, PRODUCT_ID_LEN = 16 };

// Row index = drive type. Each row: the 16-character INQUIRY product id, then
// a zero byte.
extern const char ProductID[NUM_PRODUCTS][PRODUCT_ID_LEN + 1];
extern const int numProds;

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

// The checksum of an image: the bytes from `start` up to `stored_at` - 1,
// summed modulo 65536; the big-endian sum stands at `stored_at`.
struct ChecksumRow {
    long start;
    long stored_at;
};
// The row for a drive type, or null for a type that has none.
const ChecksumRow* checksum_row(int type);

// How an image of a drive type goes into the drive.
enum TransferProcedure { ROM_PROGRAMMING, WRITE_BUFFER };
struct TransferPlan {
    TransferProcedure procedure;
    int pieces;      // the last one is the closing piece
    int piece_size;  // bytes
};
// The plan for a drive type, or null for a type that has no image.
const TransferPlan* transfer_plan(int type);

// The identity row of a drive type, or null.
const IdentityRow* identity_row(int type);
