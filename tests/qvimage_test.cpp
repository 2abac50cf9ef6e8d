// qvimage as a user runs it: what info says about images, in the words
// qvupdate uses for the same files, and the images make writes.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace e2e {
namespace {

// The raw value of a key in one line of info --json ("\"QV-G567L\"", "13").
std::string Field(const std::string& line, const std::string& key) {
    std::size_t at = line.find("\"" + key + "\": ");
    if (at == std::string::npos) return "?";
    at += key.size() + 4;
    std::size_t end = line[at] == '"' ? line.find('"', at + 1) + 1 : line.find_first_of(",}", at);
    return line.substr(at, end - at);
}

std::string Unquoted(const std::string& s) { return s.size() >= 2 ? s.substr(1, s.size() - 2) : s; }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Qvimage, InfoSaysWhatQvupdateSays) {
    Sandbox box;
    box.SetBus("adapters 1\n");
    const std::string samples = box.Path("samples");
    std::filesystem::create_directory(samples);
    ASSERT_EQ(box.Qvimage({"make", "--samples", samples}).status, 0);
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(samples)) files.push_back(e.path().string());
    ASSERT_EQ(files.size(), 12u);
    std::sort(files.begin(), files.end());
    const Bytes bad = Image(13, "1.10", -1, true);
    const Bytes short18 = Image(18, "1.10", 0x60000);
    files.push_back(box.WriteFile("bad.bin", bad));
    files.push_back(box.WriteFile("short.bin", short18));
    files.push_back(box.WriteFile("other.bin", Bytes(1000, 0x55)));

    std::vector<std::string> args = {"info", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    Result json = box.Qvimage(args);
    EXPECT_EQ(json.status, 1);  // not every file is valid
    std::vector<std::string> objects = Lines(json.out);
    ASSERT_EQ(objects.size(), files.size() + 2);
    EXPECT_EQ(objects.front(), "[");
    EXPECT_EQ(objects.back(), "]");
    objects = {objects.begin() + 1, objects.end() - 1};

    args.erase(args.begin() + 1);  // the text form
    std::vector<std::string> text;
    for (const std::string& line : Lines(box.Qvimage(args).out))
        if (line.rfind("  verdict    ", 0) == 0) text.push_back(line.substr(13));
    ASSERT_EQ(text.size(), files.size());

    for (std::size_t i = 0; i < files.size(); i++) {
        SCOPED_TRACE(files[i]);
        const std::string& o = objects[i];
        const std::string verdict = Unquoted(Field(o, "verdict"));
        Result r = box.Run({files[i], "-all"});
        std::vector<std::string> said = Lines(r.out);
        ASSERT_GE(said.size(), 5u);
        EXPECT_EQ(said[4], verdict == "valid" ? "Upgrade file for " + Unquoted(Field(o, "model")) + " loaded"
                                              : verdict);
        EXPECT_EQ(r.status, verdict == "valid" ? 0 : 1);
        if (Field(o, "type") != "-1") {
            EXPECT_EQ(Field(o, "stored") == Field(o, "computed"),
                      verdict != "Invalid upgrade file (bad checksum)");
        }
        EXPECT_EQ(Field(o, "file"), "\"" + files[i] + "\"");
        EXPECT_EQ(text[i], verdict);
    }
    // The short type 18 image in full: every key, in order.
    const unsigned stored = short18[0x5FFFE] * 256u + short18[0x5FFFF];
    EXPECT_EQ(objects[13], "  {\"file\": \"" + files[13] +
                               "\", \"type\": 18, \"model\": \"QV-H7763L\", \"version\": \"1.10\", "
                               "\"checksum_start\": 0, \"checksum_end\": 393214, \"stored\": " +
                               std::to_string(stored) + ", \"computed\": " + std::to_string(stored) +
                               ", \"length\": 393216, \"needed\": 524288, \"unchecked\": 131072, "
                               "\"verdict\": \"Invalid upgrade file (too short)\"},");
    EXPECT_EQ(Field(objects[14], "type"), "-1");
}

TEST(Qvimage, MissingFileCountsAsInvalid) {
    Sandbox box;
    const std::string missing = box.Path("none.bin");
    Result r = box.Qvimage({"info", missing});
    EXPECT_EQ(r.out, missing + "\n  verdict    Unable to open file\n");
    EXPECT_EQ(r.err, "qvimage: " + missing + ": No such file or directory\n");
    EXPECT_EQ(r.status, 1);
    std::string good = box.WriteFile("fw.bin", Image(13, "1.10"));
    EXPECT_EQ(box.Qvimage({"info", good}).status, 0);
}

TEST(Qvimage, MakeWritesWhatTheBuilderMakes) {
    Sandbox box;
    EXPECT_EQ(
        box.Qvimage({"make", "14", "2.02", box.Path("a.bin"), "--length", "70000", "--bad-checksum"}).status,
        0);
    EXPECT_EQ(box.ReadFile("a.bin"), Image(14, "2.02", 70000, true));
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"make", "13", "1.10"}, 2},                               // usage
        {{"make", "13", "1.10", box.Path("b.bin"), "--frob"}, 2},  // usage
        {{"frob"}, 2},                                             // usage
        {{"info"}, 2},                                             // usage
        {{"make", "10", "1.10", box.Path("b.bin")}, 1},            // no identity
        {{"make", "17", "1.00", box.Path("b.bin")}, 1},            // version rule
        {{"make", "13", "1.10", box.Path("b.bin"), "--length", "x"}, 1},
        {{"make", "13", "1.10", box.Path("no/such/b.bin")}, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(box.Qvimage(c.args).status, c.status) << c.args.back();
    EXPECT_FALSE(std::filesystem::exists(box.Path("b.bin")));
}

}  // namespace
}  // namespace e2e
