// Drive model identification: the drive type of the drive at an address,
// and the model names used in messages.
#include "support/printf.h"
#include "support/utils.h"
#include "tool/qvupgrade.h"

namespace {

constexpr int kInquireLen = 96;
constexpr int kTextLen = 80;  // the callers' description buffers

// A fixed-width INQUIRY field as text: n characters, or fewer when a zero
// byte ends it early.
void field(const unsigned char* inq, int at, int n, char* out) {
    sup::movebytes(inq + at, out, n);
    out[n] = '\0';
}

}  // namespace

Identified IdentifyDrive(const Session& s, Drive at, char* text) {
    unsigned char inq[kInquireLen];
    const Reply reply = inquire(s.scgp, at, inq);
    if (reply != Reply::ok) return {NO_TYPE, reply};

    char vendor[8 + 1];
    char product[PRODUCT_ID_LEN + 1];
    char revision[4 + 1];
    field(inq, 8, 8, vendor);
    field(inq, 16, PRODUCT_ID_LEN, product);
    field(inq, 32, 4, revision);
    if (!sup::streql(vendor, VENDOR_ID)) return {NO_TYPE, reply};

    int type = product_type(product);

    if (text != nullptr) {
        PrintableText(vendor);
        PrintableText(product);
        PrintableText(revision);
        if (type == NO_TYPE) {
            type = UNKNOWN_PRODUCT;
            sup::zt_snprintf(text, kTextLen,
                             "Dravlin drive %.16s not recognized.\n"
                             "Contact Dravlin for an update.",
                             product);
        } else {
            sup::zt_snprintf(text, kTextLen, "%.8s%.16s V%.4s", vendor, product, revision);
        }
    }
    // After the text, which shows the product id the drive reported.
    return {type_by_revision(type, revision), reply};
}

int DravlinType(const Session& s, Drive at, char* text) { return IdentifyDrive(s, at, text).type; }

char* PrintableText(char* text) {
    for (char* p = text; *p != '\0'; p++)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) *p = '?';
    return text;
}

char* RemoveSpaces(const char* src, char* dst) {
    int len = 0;
    while ((dst[len] = src[len]) != '\0') len++;
    while (len > 0 && dst[len - 1] == ' ') dst[--len] = '\0';
    return dst;
}

char* ModelName(int type, char* out) {
    std::string_view name = model_name(type);
    sup::movebytes(name.data(), out, static_cast<int>(name.size()));
    out[name.size()] = '\0';
    return out;
}
