// The launcher's path expansion and list order, in-process on a live store.
#include <gtest/gtest.h>

#include <string>

#include <kpres.h>

#include "LauncherService.h"
#include "ToolProcess.h"
#include "kp/pnp.h"
#include "kp/registry.h"
#include "kp/win32.h"

namespace {

class LauncherUnit : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(KpMachineSetFolder(machine_.Folder(), &error)) << error;
        KpWin32UseLiveMachine();
        kp::reg::Machine().Clear();
    }
    void TearDown() override { kp::reg::Machine().Clear(); }
    void SetKorvane(const std::string& path) {
        std::u16string text;
        kp::reg::Utf8ToUtf16(
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\"
            "Windows\\CurrentVersion\\App Paths\\Cindral.exe]\r\n" +
                kp::tooltest::RegValueText("Path", REG_SZ, path + std::string(1, '\0')),
            &text);
        std::string error;
        ASSERT_TRUE(kp::reg::Machine().ImportText(text, &error)) << error;
    }
    kp::tooltest::TempMachine machine_{"launcher-unit"};
};

TEST_F(LauncherUnit, ExpandLaunchPathReplacesTheFirstOfEachMacro) {
    struct Case {
        const char* Text;
        const char* Expected;
    } cases[] = {
        {"%WINDOWS%\\tools", "C:\\WINDOWS\\tools"},
        {"%system%", "C:\\WINDOWS\\system32"},
        {"%Drivers%\\x", "C:\\WINDOWS\\system32\\drivers\\x"},
        {"%programs%\\Korvane", "C:\\Program Files\\korvane"},
        {"%korvane%\\bin", "%korvane%\\bin"},  // no App Paths value: stays
        {"%windows%%windows%", "C:\\WINDOWS%windows%"},
        {"D:\\Plain", "d:\\plain"},
    };
    for (const Case& c : cases) {
        char out[MAX_PATH];
        ExpandLaunchPath(c.Text, out);
        EXPECT_STREQ(out, c.Expected) << c.Text;
    }
}

TEST_F(LauncherUnit, KorvaneFolderEndingInBackslashDropsOnlyABackslash) {
    SetKorvane("C:\\Cindral\\");
    char out[MAX_PATH];
    ExpandLaunchPath("%korvane%\\bin", out);
    EXPECT_STREQ(out, "C:\\Cindral\\bin");
    // The macro ends the text: the terminating NUL is kept.
    ExpandLaunchPath("%korvane%", out);
    EXPECT_STREQ(out, "C:\\Cindral\\");
    ExpandLaunchPath("%korvane%x", out);
    EXPECT_STREQ(out, "C:\\Cindral\\x");
}

TEST_F(LauncherUnit, AnExpansionThatWouldNotFitLeavesTheMacro) {
    SetKorvane("C:\\" + std::string(250, 'k'));
    std::string text = "%korvane%\\" + std::string(20, 'x');
    char out[MAX_PATH];
    ExpandLaunchPath(text.c_str(), out);
    EXPECT_EQ(std::string(out), text);
    // A text longer than the field is cut to it, terminated.
    std::string longText(400, 'a');
    ExpandLaunchPath(longText.c_str(), out);
    EXPECT_EQ(std::string(out), std::string(MAX_PATH - 1, 'a'));
}

TEST_F(LauncherUnit, WithoutItsCaptionThePromptShowsNoBoxAndDoesNotReboot) {
    static const KpStringEntry questionOnly[] = {{101, "Restart?"}};
    static const KpStringTable table = {0x0409, questionOnly, 1};
    KpRegisterStringTable(&table);
    LauncherService service;
    EXPECT_EQ(service.RebootPrompt(), 0);
    KpUnregisterStringTable(&table);
    EXPECT_TRUE(kp::win32::ReadJournal(machine_.Folder()).empty());
}

TEST(LaunchEntryList, InsertSortedKeepsAscendingOrderAndPutsLaterEqualsFirst) {
    LaunchEntry entries[5];
    LONG priorities[5] = {50, 10, 101, 50, 20};
    LaunchEntry* head = nullptr;
    for (int i = 0; i < 5; i++) {
        entries[i].Priority = priorities[i];
        LaunchEntry::InsertSorted(&head, &entries[i]);
    }
    std::vector<LaunchEntry*> order;
    for (LaunchEntry* e = head; e != nullptr; e = e->Next) order.push_back(e);
    std::vector<LaunchEntry*> expected = {&entries[1], &entries[4], &entries[3], &entries[0],
                                          &entries[2]};
    EXPECT_EQ(order, expected);
}

}  // namespace
