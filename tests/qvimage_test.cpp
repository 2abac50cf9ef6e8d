// qvimage as a user runs it: what info says about images, in the words
// qvupdate uses for the same files, and the images make writes.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
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
        {{"make", "13", "1.10", box.Path("b.bin"), "--length", "0"}, 1},
        {{"make", "QV-Z9ZZ", "1.10", box.Path("b.bin")}, 1},  // no such model
        {{"types", "13"}, 2},                                 // usage
        {{"--help"}, 0},
        {{"--version"}, 0},
        {{"types"}, 0},
        {{"make", "13", "1.10", box.Path("no/such/b.bin")}, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(box.Qvimage(c.args).status, c.status) << c.args.back();
    EXPECT_FALSE(std::filesystem::exists(box.Path("b.bin")));
}

TEST(Qvimage, MakeTakesAModelNameAsTypesListsThem) {
    Sandbox box;
    EXPECT_EQ(box.Qvimage({"types"}).out,
              "11  QV-G253K  loader mode\n"
              "12  QV-B8NB   version without 1 as third character\n"
              "13  QV-G567L\n14  QV-B8NV\n15  QV-H3551L\n16  QV-H7551L\n"
              "17  QV-B8NB   version with 1 as third character\n"
              "18  QV-H7763L\n19  QV-H953NB\n20  QV-H9549A\n21  QV-H9549S\n22  QV-H9749A\n");
    const std::tuple<const char*, const char*, int> cases[] = {
        {"QV-G567L", "1.10", 13}, {"qv-g253k", "1.06", 11}, {"QV-B8NB", "1.06", 12}, {"QV-B8NB", "1.10", 17}};
    for (const auto& [model, version, type] : cases) {
        EXPECT_EQ(box.Qvimage({"make", model, version, box.Path("out.bin"), "--force"}).status, 0);
        EXPECT_EQ(box.ReadFile("out.bin"), Image(type, version)) << model << " " << version;
    }
}

// OUT already there, as a file with another name (a hard link) or as a
// symbolic link: replaced only with --force, by a new file; never written
// through a link.
TEST(Qvimage, MakeNeverOverwritesUnaskedNorThroughALink) {
    namespace fs = std::filesystem;
    const Bytes old = Image(14, "2.02");
    const std::string link = " is a symbolic link: qvimage never writes through one\n";
    const std::tuple<const char*, const char*, bool, std::string> cases[] = {
        // what, OUT a symbolic link to, --force, standard error after "qvimage: OUT"
        {"file", nullptr, false, " exists (--force replaces it)\n"},
        {"forced file", nullptr, true, ""},
        {"forced link", "old.bin", true, link},
        {"dangling link", "none.bin", false, link},
    };
    for (const auto& [what, link_to, force, err] : cases) {
        Sandbox box;
        box.WriteFile("old.bin", old);
        const std::string out = box.Path("out.bin");
        link_to ? fs::create_symlink(link_to, out) : fs::create_hard_link(box.Path("old.bin"), out);
        Result r = box.Qvimage(force ? std::vector<std::string>{"make", "13", "1.10", out, "--force"}
                                     : std::vector<std::string>{"make", "13", "1.10", out});
        EXPECT_EQ(r.err, err.empty() ? "" : "qvimage: " + out + err) << what;
        EXPECT_EQ(r.status, err.empty() ? 0 : 1) << what;
        EXPECT_EQ(box.ReadFile("old.bin"), old) << what;
        EXPECT_EQ(box.ReadFile("out.bin"), link_to ? box.ReadFile(link_to)
                                           : force ? Image(13, "1.10")
                                                   : old)
            << what;
        // state/, old.bin, out.bin: nothing made through a link, no temporary file left.
        EXPECT_EQ(std::distance(fs::directory_iterator(box.dir()), fs::directory_iterator()), 3) << what;
    }
}

// Names as UTF-8 where they are; what would reach a terminal as a control
// character, or is no UTF-8, escaped in JSON and shown as '?' in text.
TEST(Qvimage, FileNamesInJsonAndText) {
    Sandbox box;
    const std::tuple<const char*, const char*, const char*> cases[] = {
        // name, in JSON, in text
        {"caf\xC3\xA9.bin", "caf\xC3\xA9.bin", "caf\xC3\xA9.bin"},
        {"a\x1B[31m\x7F.bin", "a\\u001b[31m\\u007f.bin", "a?[31m?.bin"},
        {"c1\xC2\x9B.bin", "c1\\u009b.bin", "c1?.bin"},
        {"b\xFF\xC3.bin", "b\\u00ff\\u00c3.bin", "b??.bin"},
        {"q\"\\.bin", "q\\\"\\\\.bin", "q\"\\.bin"},
    };
    for (const auto& [name, json, text] : cases) {
        const std::string path = box.WriteFile(name, Image(13, "1.10"));
        EXPECT_EQ(Lines(box.Qvimage({"info", "--json", path}).out)
                      .at(1)
                      .rfind("  {\"file\": \"" + box.dir() + "/" + json + "\", \"type\": 13,", 0),
                  0u);
        EXPECT_EQ(Lines(box.Qvimage({"info", path}).out).at(0), box.dir() + "/" + text);
    }
}

TEST(Qvimage, HelpAndVersion) {  // their statuses are in the table above
    Sandbox box;
    EXPECT_EQ(box.Qvimage({"--version"}).out, "qvimage 1.21\n");
    EXPECT_EQ(box.Qvimage({"--help"}).out.rfind("usage: qvimage info [--json] FILE...\n", 0), 0u);
}

}  // namespace
}  // namespace e2e
