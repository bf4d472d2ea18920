// Hookfitter's parser, version window, matching and filter lists in-process.
#include <gtest/gtest.h>

#include <array>

#include "FilterInstaller.h"

namespace {

std::vector<char*> Argv(std::vector<std::string>& tokens) {
    std::vector<char*> argv;
    for (auto& t : tokens) argv.push_back(t.data());
    return argv;
}

constexpr char kCapture[] = "65e8773d-8f56-11d0-a3b9-00a0c9223196";

TEST(HookfitterParse, GroupsEndAtTheNextOption) {
    std::vector<std::string> tokens = {"Hookfitter", "-i", "drv.sys", "-dev", kCapture, "1a2",
                                       "3b",         "1",  "1a2",     "4c",   "0",      "-upr"};
    auto argv = Argv(tokens);
    FilterInstaller installer;
    ASSERT_EQ(installer.ParseCommandLine(int(argv.size()), argv.data()), 1);
    EXPECT_EQ(installer.FilterProperty(), static_cast<DWORD>(SPDRP_UPPERFILTERS));
    const DeviceMatch* first = installer.Devices();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first->next, nullptr);
    EXPECT_EQ(first->next->next, nullptr);
    EXPECT_EQ(first->vid, 0x1a2u);
    EXPECT_EQ(first->pid, 0x3bu);
    EXPECT_EQ(first->mi, 1u);
    EXPECT_EQ(first->next->pid, 0x4cu);
    EXPECT_EQ(first->next->mi, 0u);
    // Matching: the ID is lower-cased, vid searched with four digits, mi with two.
    char id[] = "USB\\VID_01A2&PID_004C&MI_00";
    DeviceMatch* group = nullptr;
    EXPECT_EQ(installer.MatchHardwareId(id, &group), 1);
    EXPECT_EQ(group, first->next);
    EXPECT_STREQ(id, "usb\\vid_01a2&pid_004c&mi_00");
    char other[] = "USB\\VID_01A2&PID_004C&MI_02";
    EXPECT_EQ(installer.MatchHardwareId(other, &group), 0);
    EXPECT_EQ(group, nullptr);
}

TEST(HookfitterParse, VersionTokens) {
    struct Row {
        std::vector<std::string> Versions;
        DWORD MinPresent, MaxPresent;
        LONG Max0;
    } rows[] = {
        {{}, 0, 0, 0},
        {{"1.0.0.0"}, 1, 0, 0},
        {{"1.2", "2.0.0.0"}, 0, 1, 2},  // a short minimum is consumed, sets no bound
        {{"1.0.0.0", "3.1.0.0"}, 1, 1, 3},
    };
    for (const Row& row : rows) {
        std::vector<std::string> tokens = {"Hookfitter", "-u",  "drv.sys", "-lwr", "-dev",
                                           kCapture,     "1a2", "3b",      "1"};
        tokens.insert(tokens.end(), row.Versions.begin(), row.Versions.end());
        tokens.push_back("ff");  // the next group
        tokens.push_back("1");
        tokens.push_back("0");
        auto argv = Argv(tokens);
        FilterInstaller installer;
        ASSERT_EQ(installer.ParseCommandLine(int(argv.size()), argv.data()), 1);
        const DeviceMatch* g = installer.Devices();
        EXPECT_EQ(g->minimumPresent, row.MinPresent);
        EXPECT_EQ(g->maximumPresent, row.MaxPresent);
        EXPECT_EQ(g->maximumVersion[0], row.Max0);
        ASSERT_NE(g->next, nullptr);
        EXPECT_EQ(g->next->vid, 0xffu);
    }
}

TEST(HookfitterVersion, WindowTable) {
    auto version = [](const char* text) {
        std::array<LONG, 4> v{};
        ParseVersion(text, v.data());
        return v;
    };
    struct Row {
        const char* Min;  // null: none
        const char* Max;
        const char* Driver;
        bool Inside;
    } rows[] = {
        {"1.0.0.0", nullptr, "1.0.0.0", true},   {"1.0.0.0", nullptr, "0.9.9.9", false},
        {"1.0.0.0", "2.0.0.0", "2.0.0.0", true}, {"1.0.0.0", "2.0.0.0", "2.0.0.1", false},
        {"1.9.0.0", nullptr, "1.10.0.0", true},  {"1.0.0.0", nullptr, "0.0.0.0", false},
        {nullptr, nullptr, "0.0.0.0", true},     {nullptr, "2.0.0.0", "1.5.0.0", true},
        {nullptr, "2.0.0.0", "2.1.0.0", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.Min ? row.Min : "-") + " " + (row.Max ? row.Max : "-") + " " +
                     row.Driver);
        DeviceMatch group;
        if (row.Min) group.minimumPresent = ParseVersion(row.Min, group.minimumVersion) >= 4;
        if (row.Max) group.maximumPresent = ParseVersion(row.Max, group.maximumVersion) >= 4;
        EXPECT_EQ(group.InWindow(version(row.Driver).data()), row.Inside);
    }
    auto v = version("5.1.2600.0 (x.y-z)");
    EXPECT_EQ(v, (std::array<LONG, 4>{5, 1, 2600, 0}));
    EXPECT_EQ(version("99999999999.1")[0], 2147483647);
    EXPECT_EQ(ParseVersion("1.2", v.data()), 2);
}

TEST(HookfitterLists, ParseAndBuildAgreeWithAPlainModel) {
    struct Row {
        std::string Bytes;
        std::vector<std::string> Entries;
        std::string Built;  // the list written back unchanged
    } rows[] = {
        {"", {}, std::string("\0", 1)},
        {std::string("\0", 1), {}, std::string("\0", 1)},
        {"a", {"a"}, std::string("a\0\0", 3)},
        {std::string("a\0", 2), {"a"}, std::string("a\0\0", 3)},
        {std::string("a\0b\0\0", 5), {"a", "b"}, std::string("a\0b\0\0", 5)},
        // Readers stop at the empty entry; what follows it is kept.
        {std::string("a\0\0b\0\0", 6), {"a"}, std::string("a\0\0b\0\0", 6)},
        {"abc", {"abc"}, std::string("abc\0\0", 5)},
    };
    for (const Row& row : rows) {
        auto list =
            ParseFilterList(reinterpret_cast<const BYTE*>(row.Bytes.data()), row.Bytes.size());
        EXPECT_EQ(list.Entries, row.Entries);
        auto built = BuildFilterList(list);
        EXPECT_EQ(std::string(built.begin(), built.end()), row.Built);
    }
    GUID guid;
    EXPECT_EQ(ParseGuid("65E8773D-8f56-11d0-a3b9-00a0c9223196", &guid), 1);
    EXPECT_EQ(guid.Data1, 0x65e8773du);
    EXPECT_EQ(guid.Data4[7], 0x96);
    EXPECT_EQ(ParseGuid("65e8773d-8f56-11d0-a3b9-00a0c922319", &guid), 0);
    EXPECT_EQ(ParseGuid("+5e8773d-8f56-11d0-a3b9-00a0c9223196", &guid), 0);
}

}  // namespace
