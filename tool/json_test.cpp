// What a run says to a script (--json): one document on standard output in
// every mode and for every outcome, of the schema the manual page gives, with
// the status the run ends with; the texts go to standard error.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "testing/json.h"
#include "testing/simbus.h"
#include "tool/testing/tooltest.h"

namespace {

using qvtest::Json;

struct Field {
    const char* name;
    Json::Kind kind;
    bool nullable = false;
};
const std::vector<Field> kDocument = {
    {"program", Json::string},     {"version", Json::string},      {"mode", Json::string},
    {"image", Json::object, true}, {"drives", Json::array},        {"error", Json::string, true},
    {"complete", Json::boolean},   {"status", Json::number, true},
};
const std::vector<Field> kImage = {{"file", Json::string},
                                   {"type", Json::number},
                                   {"model", Json::string, true},
                                   {"version", Json::string},
                                   {"verdict", Json::string}};
const std::vector<Field> kListed = {
    {"ha", Json::number},     {"id", Json::number},          {"names", Json::string, true},
    {"vendor", Json::string}, {"product", Json::string},     {"revision", Json::string},
    {"type", Json::number},   {"model", Json::string, true}, {"for_image", Json::boolean, true},
};
const std::vector<Field> kUpgraded = {
    {"ha", Json::number},
    {"id", Json::number},
    {"names", Json::string, true},
    {"version_before", Json::string, true},
    {"version_after", Json::string, true},
    {"outcome", Json::string},
    {"reason", Json::string, true},
    {"pieces_sent", Json::number},
    {"pieces", Json::number},
    {"seconds", Json::number},
    {"backup", Json::string, true},
};

// Exactly these members, each of its kind.
void ExpectFields(const Json& j, const std::vector<Field>& fields, const std::string& where) {
    ASSERT_EQ(j.kind, Json::object) << where;
    ASSERT_EQ(j.members.size(), fields.size()) << where;
    for (std::size_t i = 0; i < fields.size(); i++) {
        EXPECT_EQ(j.members[i].first, fields[i].name) << where;
        const Json::Kind kind = j.members[i].second.kind;
        EXPECT_TRUE(kind == fields[i].kind || (fields[i].nullable && kind == Json::null))
            << where << "." << fields[i].name;
    }
}

class JsonTest : public qvtest::ToolTest {};

TEST_F(JsonTest, EveryModeAndOutcomeGivesOneDocumentOfTheSchema) {
    using qvtest::Drive;
    const std::string g567l = Drive(0, 2, "CD-R   QV-G567L ", "1.00"),
                      loader = Drive(0, 2, "*Loader Mode 1* ", "1.00");
    const std::string wb = WriteImage(qvtest::Image(13, "1.10"), "g567l.bin"),
                      rom = WriteImage(qvtest::Image(11, "1.10"), "g253k.bin"),
                      bad = WriteImage(qvtest::Image(13, "1.10", -1, true), "bad.bin");
    enum Transport { opens, refuses };
    const struct Row {
        std::string bus;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> outcomes;
        std::string error = "";  // how the document's error begins; none: null
        Transport transport = opens;
    } rows[] = {
        {g567l, {"-l", "--json", wb}, 0, {}},
        {g567l, {wb, "-all", "--json"}, 0, {"upgraded"}},
        {g567l, {wb, "--dry-run", "--json"}, 0, {"would-upgrade"}},
        {Drive(0, 2, "CD-R   QV-G567L ", "1.00", true), {wb, "-all", "--json"}, 1, {"refused"}},
        {g567l + "fail 0 2 0x3B 5\n", {wb, "-all", "--json"}, 1, {"failed"}},
        {loader + "fail 0 2 0xE2 3\n", {rom, "dev=0,2,0", "--json"}, 1, {"failed-at-risk"}},
        {g567l + "restart 0 2 40\n", {wb, "-id:2", "--json"}, 1, {"not-confirmed"}},
        // The image refused: its verdict is in the document.
        {g567l, {bad, "-all", "--json"}, 1, {}},
        {g567l, {wb, "-all", "--json", "--log", "x"}, 1, {}, "this ASPI layer cannot keep a command log"},
        {g567l, {wb, "-id:2x", "--json"}, 1, {}, "-id:2x: a target is"},
        {g567l, {wb, "-all", "--json"}, ENXIO, {}, "Cannot open SCSI driver.", refuses},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        SetBus(row.bus);
        if (row.transport == refuses) {
            fake.open_result = -1;
            fake.on_open = [](SCSI*) { errno = ENXIO; };
        }
        const qvtest::Ran r = Run(row.args, "y\n");
        fake.open_result = 1;
        fake.on_open = nullptr;
        EXPECT_EQ(r.status, row.status);
        const std::optional<Json> doc = qvtest::ParseJson(r.out);
        ASSERT_TRUE(doc) << r.out;
        const bool listing = row.args.front() == "-l";
        std::vector<Field> top = kDocument;
        if (listing) top.insert(top.begin() + 3, {"adapters", Json::array});
        ExpectFields(*doc, top, "document");
        EXPECT_EQ((*doc)["status"]->value, row.status);
        EXPECT_TRUE((*doc)["complete"]->flag);
        EXPECT_EQ((*doc)["error"]->text.substr(0, row.error.size()), row.error);
        EXPECT_EQ((*doc)["error"]->kind == Json::null, row.error.empty());
        if ((*doc)["image"]->kind == Json::object) ExpectFields(*(*doc)["image"], kImage, "image");
        std::vector<std::string> outcomes;
        for (const Json& d : (*doc)["drives"]->items) {
            ExpectFields(d, listing ? kListed : kUpgraded, "drive");
            if (!listing) outcomes.push_back(d["outcome"]->text);
        }
        EXPECT_EQ(outcomes, row.outcomes);
        // The texts are on standard error: the banner among them.
        EXPECT_NE(r.err.find("QVUpdate V1.21"), std::string::npos);
    }
}

}  // namespace
