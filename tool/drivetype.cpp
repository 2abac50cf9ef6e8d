// Drive model identification: the drive type of the drive at an address,
// and the model names used in messages.
#include "tool/drivetype.h"

#include <string_view>

#include "fwimage/fwtables.h"
#include "support/printf.h"
#include "support/utils.h"
#include "tool/link.h"

Identified IdentifyDrive(Link& link, Drive at, char* text) {
    unsigned char inq[INQUIRE_LEN];
    Reply reply;
    {
        Link::Quiet quiet(link);
        reply = link.inquiry_at(at, inq, INQUIRE_LEN);
    }
    if (reply != Reply::ok) return {NO_TYPE, reply};

    InquiryText t = inquiry_text(inq);
    if (!sup::streql(t.vendor, VENDOR_ID)) return {NO_TYPE, reply, t};

    int type = product_type(t.product);
    const InquiryText answered = t;

    if (text != nullptr) {
        PrintableText(t.vendor);
        PrintableText(t.product);
        PrintableText(t.revision);
        if (type == NO_TYPE) {
            type = UNKNOWN_PRODUCT;
            sup::zt_snprintf(text, kDescriptionLen,
                             "Dravlin drive %.16s not recognized.\n"
                             "Contact Dravlin for an update.",
                             t.product);
        } else {
            sup::zt_snprintf(text, kDescriptionLen, "%.8s%.16s V%.4s", t.vendor, t.product, t.revision);
        }
    }
    // After the text, which shows the product id the drive reported.
    return {type_by_revision(type, answered.revision), reply, answered};
}

int DravlinType(Link& link, Drive at, char* text) { return IdentifyDrive(link, at, text).type; }

void VersionText(std::span<const unsigned char> field, char (&version)[VERSION_LEN + 1]) {
    std::size_t n = 0;
    while (n < VERSION_LEN && n < field.size() && field[n] != 0) {
        version[n] = static_cast<char>(field[n]);
        n++;
    }
    version[n] = 0;
    PrintableText(version);
}

char* PrintableText(char* text) {
    for (char* p = text; *p != '\0'; p++)
        if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) >= 0x7F) *p = '?';
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
