// The drive listing (-l), the drives it shows that the scan leaves out, and
// the jumper notice for the QV-G253K.
#pragma once

class Dialogue;
class Link;
struct Report;

// The count of addresses whose drive another program holds.
// Every drive listed goes into the report too, with whether the image's
// type (NO_TYPE: none given) is its own.
int ListDrives(Link& link, Dialogue& dialogue, Report& report, int image_type);
// After -all: one line on standard error for each drive the listing shows
// beyond the targets the scan walks, which no walk offers.
void SayBeyondScan(Link& link);
void PrintJumper();
