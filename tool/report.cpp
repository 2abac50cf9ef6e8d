#include "tool/report.h"

#include "support/jsontext.h"
#include "support/printf.h"
#include "tool/signals.h"

namespace {

std::string Text(const std::string& s) { return sup::json(s); }
std::string Text(const std::optional<std::string>& s) { return s ? sup::json(*s) : "null"; }

std::string DriveJson(const DriveReport& d, bool listing) {
    char seconds[32];
    sup::zt_snprintf(seconds, sizeof seconds, "%.3f", d.seconds);
    std::string j = "{\"ha\": " + std::to_string(d.at.ha) + ", \"id\": " + std::to_string(d.at.id) +
                    ", \"names\": " + (d.names.empty() ? "null" : Text(d.names));
    if (listing)
        return j + ", \"vendor\": " + Text(d.vendor) + ", \"product\": " + Text(d.product) +
               ", \"revision\": " + Text(d.revision) + ", \"type\": " + std::to_string(d.type) +
               ", \"model\": " + (d.model.empty() ? "null" : Text(d.model)) +
               ", \"for_image\": " + (d.for_image ? (*d.for_image ? "true" : "false") : "null") + "}";
    return j + ", \"version_before\": " + Text(d.before) + ", \"version_after\": " + Text(d.after) +
           ", \"outcome\": " + Text(d.outcome.empty() ? std::string("interrupted") : d.outcome) +
           ", \"reason\": " + (d.reason.empty() ? "null" : Text(d.reason)) +
           ", \"pieces_sent\": " + std::to_string(d.pieces_sent) +
           ", \"pieces\": " + std::to_string(d.pieces) + ", \"seconds\": " + seconds +
           ", \"backup\": " + (d.backup.empty() ? "null" : Text(d.backup)) + "}";
}

}  // namespace

void Report::Keep() const {
    if (last_words_fd >= 0) SetLastWords(Render(std::nullopt));
}

std::string Report::Render(std::optional<int> status) const {
    std::string j = "{\"program\": \"qvupdate\", \"version\": \"" QV_VERSION "\", \"mode\": " + Text(mode);
    if (mode == "list") {
        j += ", \"adapters\": [";
        for (std::size_t i = 0; i < adapters.size(); i++) j += (i ? ", " : "") + std::to_string(adapters[i]);
        j += "]";
    }
    j += ", \"image\": ";
    if (image)
        j += "{\"file\": " + Text(image->file) + ", \"type\": " + std::to_string(image->type) +
             ", \"model\": " + (image->model.empty() ? "null" : Text(image->model)) +
             ", \"version\": " + Text(image->version) + ", \"verdict\": " + Text(image->verdict) + "}";
    else
        j += "null";
    j += ",\n \"drives\": [";
    for (std::size_t i = 0; i < drives.size(); i++)
        j += (i ? ",\n  " : "\n  ") + DriveJson(drives[i], mode == "list");
    j += drives.empty() ? "]" : "\n ]";
    j += ",\n \"error\": " + (error.empty() ? std::string("null") : Text(error));
    j += ", \"complete\": " + std::string(status ? "true" : "false");
    j += ", \"status\": " + (status ? std::to_string(*status) : std::string("null")) + "}\n";
    return j;
}
