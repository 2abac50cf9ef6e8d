// The drive listing (-l), the drives it shows that the scan leaves out, and
// the jumper notice for the QV-G253K.
#pragma once

class Dialogue;
class Link;

// The count of addresses whose drive another program holds.
int ListDrives(Link& link, Dialogue& dialogue);
// After -all: one line on standard error for each drive the listing shows
// beyond the targets the scan walks, which no walk offers.
void SayBeyondScan(Link& link);
void PrintJumper();
