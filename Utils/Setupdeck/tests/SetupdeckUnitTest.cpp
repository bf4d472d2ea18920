// Setupdeck's path macros, in-process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Setupdeck.h"

namespace {

TEST(ExpandPathMacro, ReplacesOnlyTheFirstKnownMacro) {
    std::memset(&g_paths, 0, sizeof g_paths);
    std::strcpy(g_paths.Current, "C:\\Program Files\\Korvane");
    std::strcpy(g_paths.Windows, "C:\\WINDOWS");
    std::strcpy(g_paths.Inf, "C:\\WINDOWS\\inf");
    std::strcpy(g_paths.System, "C:\\WINDOWS\\system32");
    std::strcpy(g_paths.Common, "C:\\Program Files\\Common Files");
    std::strcpy(g_paths.Programs, "C:\\Program Files");
    struct Case {
        const char* Text;
        const char* Expected;
    } cases[] = {
        {"<currdir>\\a.exe", "C:\\Program Files\\Korvane\\a.exe"},
        {"x<windir>y", "xC:\\WINDOWSy"},
        {"<programdir>", "C:\\Program Files"},
        {"<commondir>\\c", "C:\\Program Files\\Common Files\\c"},
        {"<infdir>", "C:\\WINDOWS\\inf"},
        {"<SYSDIR>\\b", "C:\\WINDOWS\\system32\\b"},
        {"<windir><sysdir>", "C:\\WINDOWS<sysdir>"},
        {"<other>\\x", "<other>\\x"},
        {">x<", ">x<"},
        {"a>b<windir>", "a>bC:\\WINDOWS"},  // the first ">" after the first "<"
        {"<windir", "<windir"},
    };
    for (const Case& c : cases) {
        char text[MAX_PATH];
        std::strcpy(text, c.Text);
        EXPECT_TRUE(ExpandPathMacro(text));
        EXPECT_STREQ(text, c.Expected) << c.Text;
    }
    // A result that would not fit leaves the text as it was, and says so.
    std::string longText = "<commondir>" + std::string(231, 'x');
    char text[MAX_PATH];
    std::strcpy(text, longText.c_str());
    EXPECT_FALSE(ExpandPathMacro(text));
    EXPECT_EQ(std::string(text), longText);
}

TEST(SplitString, LowerCasesAndSkipsEmptyPieces) {
    StringList list;
    SplitString("HKLM,,Software\\X,", ",", &list);
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_STREQ(list.GetAt(0), "hklm");
    EXPECT_STREQ(list.GetAt(1), "software\\x");
    EXPECT_EQ(list.GetAt(2), nullptr);
}

}  // namespace
