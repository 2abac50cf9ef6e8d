// Drive model identification: the drive type of the drive at an address,
// and the model names used in messages.
#pragma once

#include <span>

#include "drivecmd/drive.h"
#include "fwimage/fwtables.h"

class Link;

// The room of a drive's description ("DRAVLIN CD-R   QV-G567L  V1.00").
inline constexpr int kDescriptionLen = 80;

// The drive type with the reply of the INQUIRY that decided it, which tells
// a drive in use from an empty address, and the texts it answered (each
// empty when it did not).
struct Identified {
    int type;
    Reply reply;
    InquiryText inquiry{};
};
// Asks the drive quietly. text: kDescriptionLen bytes or null.
Identified IdentifyDrive(Link& link, Drive at, char* text);
// Drive type of the drive at an address: 0..22, NO_TYPE, UNKNOWN_PRODUCT.
int DravlinType(Link& link, Drive at, char* text);
char* RemoveSpaces(const char* src, char* dst);
// The model name of a drive type for messages ("QV-G567L"; type 11 gives
// row 10's name), written into out (>= 17 bytes).
char* ModelName(int type, char* out);
// The version text of a version field: up to VERSION_LEN characters, fewer
// when a zero byte comes first, made safe to print.
void VersionText(std::span<const unsigned char> field, char (&version)[VERSION_LEN + 1]);
// Drive texts (INQUIRY fields, version texts) made safe to print: control
// characters, DEL and every byte above ASCII become '?'.
char* PrintableText(char* text);
