// Setupdeck's helper classes on a machine folder: the log's bytes, INI reads,
// registry keys and the string list.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "SetupHelpers.h"
#include "ToolProcess.h"
#include "kp/win32.h"

namespace fs = std::filesystem;

namespace {

class SetupHelpers : public ::testing::Test {
protected:
    void SetUp() override {
        machine_.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tree\\Sub]\r\n\"v\"=\"1\"\r\n\r\n");
        KpWin32UseMachineFile(machine_.Folder());
        fs::create_directories(machine_.Folder() / "Windows" / "Temp");
        std::snprintf(g_szLogFile, sizeof g_szLogFile, "%s", "C:\\WINDOWS\\temp\\Setupdeck.log");
    }
    std::string Log() {
        std::ifstream in(machine_.Folder() / "Windows" / "Temp" / "Setupdeck.log",
                         std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    kp::tooltest::TempMachine machine_{"setup-helpers"};
};

TEST_F(SetupHelpers, AnOverlongMessageIsCutAndKeepsItsLineEnd) {
    WriteLog("%s\n", std::string(2000, 'm').c_str());
    WriteLog("next\n");
    std::string log = Log();
    size_t first = log.find("\r\n");
    ASSERT_NE(first, std::string::npos);
    // 511 bytes of line, its "\n" stored as CR LF.
    EXPECT_EQ(first, 510u);
    EXPECT_EQ(log.substr(first + 2).substr(24), "next\r\n");
}

TEST_F(SetupHelpers, IniReadsAreBoundedAndTerminated) {
    std::ofstream(machine_.Folder() / "s.ini")
        << "[a]\nk=" << std::string(255, 'x') << "\nlong=" << std::string(300, 'y')
        << "\nempty=\nz=1\n";
    IniFile ini("C:\\s.ini");
    char out[300];
    std::memset(out, '#', sizeof out);
    EXPECT_TRUE(ini.ReadString("a", "k", out, sizeof out));
    EXPECT_EQ(std::string(out), std::string(255, 'x'));
    char small[4] = {'#', '#', '#', '#'};
    EXPECT_FALSE(ini.ReadString("a", "z", small, 1));  // no room for the NUL
    EXPECT_FALSE(ini.ReadString("a", "long", out, sizeof out));
    EXPECT_FALSE(ini.ReadString("a", "empty", small, sizeof small));
    EXPECT_EQ(small[0], '#');
    StringList keys;
    EXPECT_EQ(ini.KeyNames("a", &keys), 4u);
    EXPECT_STREQ(keys.GetAt(0), "k");
    EXPECT_STREQ(keys.GetAt(3), "z");
    EXPECT_EQ(keys.GetAt(4), nullptr);
    EXPECT_FALSE(keys.Add(nullptr));
    EXPECT_NE(Log().find("Value long of [a] is too long!\r\n"), std::string::npos);
}

TEST_F(SetupHelpers, AKeyListTheReadCutLosesOnlyItsCutName) {
    // 100 names of 15 characters: the 1024-byte read ends inside the 64th.
    std::ofstream ini(machine_.Folder() / "k.ini");
    ini << "[a]\n";
    char name[32];
    for (int i = 0; i < 100; i++) {
        std::snprintf(name, sizeof name, "key%03d_abcdefgh", i);
        ini << name << "=1\n";
    }
    ini.close();
    IniFile file("C:\\k.ini");
    StringList keys;
    ASSERT_EQ(file.KeyNames("a", &keys), 63u);
    EXPECT_STREQ(keys.GetAt(62), "key062_abcdefgh");
    EXPECT_NE(Log().find("] - Too many keys in [a]!\r\n"), std::string::npos);
}

TEST_F(SetupHelpers, RegistryKeysAreCreatedWrittenAndDeleted) {
    {
        CRegistry key("software\\tree", HKEY_LOCAL_MACHINE, true);
        EXPECT_TRUE(key.WriteString("long", std::string(300, 'l').c_str()));
    }
    auto value =
        kp::tooltest::ValueOf(*machine_.Registry(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tree", "long");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->Bytes, std::string(255, 'l') + '\0');
    {
        CRegistry missing("software\\missing", HKEY_LOCAL_MACHINE, false);
        EXPECT_FALSE(missing.WriteString("a", "b"));
    }
    EXPECT_NE(Log().find("] - CRegistry().  Oooops , Failed to open subKey software\\missing\r\n"),
              std::string::npos);
    EXPECT_FALSE(CRegistry::DeleteKeyTree(HKEY_LOCAL_MACHINE, "software\\missing"));
    EXPECT_TRUE(CRegistry::DeleteKeyTree(HKEY_LOCAL_MACHINE, "software\\tree"));
    EXPECT_FALSE(CRegistry::KeyExists(HKEY_LOCAL_MACHINE, "software\\tree\\sub"));
}

}  // namespace
