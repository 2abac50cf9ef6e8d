// The questions of a run and the kernel names shown beside them.
#include "tool/dialogue.h"

#include "support/printf.h"
#include "tool/console.h"
#include "tool/link.h"

namespace {

// Before a question, on standard error: what a y does.
void SayWhat(const std::string& what) {
    sup::flush();
    sup::fprintf(stderr, "%s\n", what.c_str());
}

}  // namespace

Dialogue::Confirmation Dialogue::ConfirmOnce(const std::string& what) {
    if (confirmed_) return Confirmation::earlier;
    confirmed_ = true;
    sup::printf("                 WARNING!\n");
    sup::printf("Firmware updates should be done in single user mode.\n");
    sup::printf("If you cannot put your machine into single user mode,\n");
    sup::printf("unmount and remove any media from the drive and stop\n");
    sup::printf("volume management.\n");
    SayWhat(what);
    for (;;) {
        DiscardTypeAhead(input_);
        sup::printf("\nContinue? (y/n) ");
        sup::flush();
        std::optional<int> c;
        do {
            c = GetAnswer(input_);
        } while (c == '\n');
        if (c == 'y') return Confirmation::asked;
        if (!c || c == 'n') return Confirmation::declined;
    }
}

std::optional<int> Dialogue::AskForDrive(const Link& link, Drive at, const std::string& what) {
    SayDriveName(link, at);
    if (!all_) SayWhat(what);
    DiscardTypeAhead(input_);
    sup::printf("Upgrade Dravlin drive at HA:%d ID:%d? (y/n/a) ", at.ha, at.id);
    sup::flush();
    std::optional<int> answer = 'a';
    if (!all_) {
        do {
            answer = GetAnswer(input_);
        } while (answer && *answer != 'y' && *answer != 'n' && *answer != 'a');
        if (!answer) return std::nullopt;
        if (*answer == 'a') all_ = true;
    }
    sup::printf(" %c\n", *answer);
    return answer;
}

void Dialogue::SayDriveName(const Link& link, Drive at) {
    if (link.layer().device_name == nullptr || at == named_) return;
    char name[128];
    if (link.layer().device_name(at.ha, at.id, 0, name, sizeof name) < 0) return;
    named_ = at;
    // After what standard output holds, where both go to one place.
    sup::flush();
    sup::fprintf(stderr, "HA:%d ID:%d = %s\n", at.ha, at.id, name);
}
