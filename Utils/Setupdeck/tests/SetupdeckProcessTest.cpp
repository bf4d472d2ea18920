// Setupdeck run as a user runs it, from Program Files\Korvane of a machine
// folder: the log's bytes, the registry, the journal of the programs it
// started and the install record parsed back.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "ToolProcess.h"
#include "kp/win32.h"

namespace fs = std::filesystem;
using kp::tooltest::ValueOf;

namespace {

constexpr char kStamp[] = "[03/07/2005 14:05:09] - ";

std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The log as it should read: each message behind the stamp, CR LF line ends.
std::string Lines(const std::vector<std::string>& messages) {
    std::string out;
    for (const std::string& m : messages) out += kStamp + m + "\r\n";
    return out;
}

class Setupdeck : public ::testing::Test {
protected:
    void SetUp() override {
        machine_.WriteRegistry("");
        fs::create_directories(Korvane());
        fs::create_directories(machine_.Folder() / "Windows" / "Temp");
        fs::copy_file(KP_SETUPDECK, Korvane() / "Setupdeck.exe");
        Double("Windows/System32/rundll32.exe");
    }
    fs::path Korvane() const { return machine_.Folder() / "Program Files" / "Korvane"; }
    void Double(const std::string& relative) {
        fs::path file = machine_.Folder() / relative;
        fs::create_directories(file.parent_path());
        fs::copy_file(KP_DOUBLE, file, fs::copy_options::overwrite_existing);
    }
    void Ini(const std::string& text) { std::ofstream(Korvane() / "Setupdeck.ini") << text; }
    kp::tooltest::ProcessResult Run(const std::vector<std::string>& args,
                                    std::vector<std::string> environment = {}) {
        environment.push_back("KP_WIN32_LOCAL_TIME=2005-03-07 14:05:09");
        auto result = machine_.Run((Korvane() / "Setupdeck.exe").string(), args, environment);
        EXPECT_EQ(result.ExitCode, 0) << result.Stderr;
        return result;
    }
    std::string TakeLog() {
        fs::path file = machine_.Folder() / "Windows" / "Temp" / "Setupdeck.log";
        std::string text = Read(file);
        fs::remove(file);
        return text;
    }
    fs::path Record() const { return machine_.Folder() / "Windows" / "Temp" / "Setupdeck.xml"; }
    // Products in the record: name, Inf, then each command as key=text.
    std::vector<std::vector<std::string>> Products() {
        pugi::xml_document doc;
        EXPECT_TRUE(doc.load_file(Record().c_str(), pugi::parse_default | pugi::parse_declaration));
        EXPECT_EQ(std::string(doc.first_child().name()), "xml");
        std::vector<std::vector<std::string>> out;
        for (pugi::xml_node product : doc.child("Installed").children()) {
            std::vector<std::string> entry = {product.name(), product.attribute("Inf").value()};
            for (pugi::xml_node command : product.children())
                entry.push_back(std::string(command.name()) + "=" + command.first_child().value());
            out.push_back(entry);
        }
        return out;
    }
    std::vector<std::string> Runs() {
        std::vector<std::string> out;
        for (auto& entry : kp::win32::ReadJournal(machine_.Folder()))
            if (entry[0] == "double") out.push_back(entry[1] + " " + entry[2]);
        return out;
    }
    kp::tooltest::TempMachine machine_{"setupdeck"};
};

TEST_F(Setupdeck, AnInstallIsPerformedRecordedAndUndone) {
    Double("Program Files/Korvane/helper.exe");
    Double("Windows/System32/undo.exe");
    Ini("[Install]\n"
        "k1=launch#<currdir>\\helper.exe,/s\n"
        "k2=addregkey#hklm,Software\\Test,Value,Data\n"
        "k3=nohash\n"
        "k4=unknown#x\n"
        "k5=addregkey#hklm,a,b\n"
        "k6=launch#<currdir>\\helper.exe\n"
        "k7=launch#<currdir>\\missing.exe,/q\n"
        "k8=addregkey#hkxx,a,b,c\n"
        "[root]\nname=Cam\ninf=cam.inf\n"
        "[Uninstall]\nu1=delregkey#hklm,software\\test\nu2=launch#<SYSDIR>\\undo.exe,/u\n");
    Run({"-I", "Cam"});
    EXPECT_EQ(
        TakeLog(),
        Lines({"Performing installation for cam.",
               "LaunchCmdline::Launching C:\\Program Files\\Korvane\\helper.exe /s",
               "Adding reg key hklm,Software\\Test,Value,Data", "AddKey software\\test value data",
               "Invalid command!", "Invalid command!", "Adding reg key hklm,a,b",
               "Invalid command!", "Adding reg key hkxx,a,b,c", "Invalid reg key hkxx!"}));
    EXPECT_EQ(ValueOf(*machine_.Registry(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test", "value")->Bytes,
              std::string("data") + '\0');
    EXPECT_EQ(Products(), (std::vector<std::vector<std::string>>{
                              {"CAM", "cam.inf", "u1=delregkey#hklm,software\\test",
                               "u2=launch#C:\\WINDOWS\\system32\\undo.exe,/u"}}));
    EXPECT_EQ(Runs(), (std::vector<std::string>{"C:\\Program Files\\Korvane\\helper.exe /s"}));

    Run({"-u", "cam"});
    EXPECT_EQ(
        TakeLog(),
        Lines({"Performing uninstallation for cam.", "Uninstalling CAM",
               "Deleting reg key hklm,software\\test",
               "LaunchCmdline::Launching C:\\WINDOWS\\system32\\undo.exe /u",
               "LaunchCmdline::Launching C:\\WINDOWS\\system32\\rundll32.exe "
               "setupapi,InstallHinfSection DefaultUninstall 132 C:\\WINDOWS\\inf\\cam.inf"}));
    EXPECT_FALSE(ValueOf(*machine_.Registry(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test", "value"));
    auto runs = Runs();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[1], "C:\\WINDOWS\\system32\\undo.exe /u");
    EXPECT_EQ(runs[2],
              "C:\\WINDOWS\\system32\\rundll32.exe setupapi,InstallHinfSection DefaultUninstall "
              "132 C:\\WINDOWS\\inf\\cam.inf");
    EXPECT_TRUE(Products().empty());
}

TEST_F(Setupdeck, AReinstallReplacesTheProductAndAllUndoesEachOnce) {
    auto install = [&](const std::string& name, const std::string& inf) {
        Ini("[root]\nname=" + name + "\ninf=" + inf + "\n[Uninstall]\nk=delregkey#hklm,software\\" +
            name + "\n");
        Run({"-i", name});
    };
    install("one", "one.inf");
    install("two", "old.inf");
    install("three", "three.inf");
    TakeLog();
    install("two", "two.inf");
    EXPECT_EQ(TakeLog(), Lines({"Performing installation for two.", "Removing ub"}));
    auto products = Products();
    ASSERT_EQ(products.size(), 3u);
    EXPECT_EQ(products[2],
              (std::vector<std::string>{"TWO", "two.inf", "k=delregkey#hklm,software\\two"}));

    Run({"-u", "all"});
    auto runs = Runs();
    ASSERT_EQ(runs.size(), 3u);
    const char* infs[] = {"one.inf", "three.inf", "two.inf"};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(runs[i], std::string("C:\\WINDOWS\\system32\\rundll32.exe setupapi,"
                                       "InstallHinfSection Uninstall 128 C:\\WINDOWS\\inf\\") +
                               infs[i]);
    }
    EXPECT_TRUE(Products().empty());
}

TEST_F(Setupdeck, BadRecordsAndNamesAreLoggedAndNothingIsCopiedPastABuffer) {
    // A record that does not parse is left as it is by an uninstall.
    std::ofstream(Record()) << "<Installed><CAM";
    Run({"-u", "cam"});
    EXPECT_EQ(Read(Record()), "<Installed><CAM");
    EXPECT_EQ(TakeLog(), Lines({"Performing uninstallation for cam.",
                                "Invalid install record C:\\WINDOWS\\Temp\\Setupdeck.xml!"}));
    // A product without Inf and a command without text: run what there is.
    std::ofstream(Record()) << "<?xml version='1.0'?><Installed><X><a/><b><![CDATA[delregkey#hklm,"
                               "software\\x]]></b></X><Y Inf='y.inf'/></Installed>";
    Run({"-u", "*"});
    Run({"-u", "x"});
    EXPECT_EQ(TakeLog(),
              Lines({"Performing uninstallation for *.", "Performing uninstallation for x.",
                     "Uninstalling X", "Command a has no text!",
                     "Deleting reg key hklm,software\\x", "Product X has no INF!"}));
    EXPECT_EQ(Products(), (std::vector<std::vector<std::string>>{{"Y", "y.inf"}}));
    // A product name that is no XML name writes no record.
    Ini("[root]\nname=my cam\n");
    std::string before = Read(Record());
    Run({"-i", "x"});
    EXPECT_EQ(Read(Record()), before);
    EXPECT_NE(TakeLog().find("Invalid product name MY CAM!"), std::string::npos);
    // An overlong folder in a macro leaves the text.
    Ini("[Install]\nk=launch#<currdir>\\" + std::string(235, 'x') + ",/q\n");
    Run({"-i", "x"});
    EXPECT_NE(TakeLog().find("Invalid command!"), std::string::npos);
}

TEST_F(Setupdeck, ACommandHoldingTheCdataEndComesBackWhole) {
    // "]]>" cannot stand in one CDATA section: the record holds two.
    Ini("[Install]\na=addregkey#hklm,software\\a]],v,1\nb=addregkey#hklm,software\\a]]>b,v,1\n"
        "[root]\nname=cam\n[Uninstall]\nk=delregkey#hklm,software\\a]]>b\n");
    Run({"-i", "cam"});
    EXPECT_EQ(
        Products(),
        (std::vector<std::vector<std::string>>{{"CAM", "", "k=delregkey#hklm,software\\a]]"}}));
    Run({"-u", "cam"});
    auto store = machine_.Registry();
    EXPECT_TRUE(ValueOf(*store, "HKEY_LOCAL_MACHINE\\SOFTWARE\\a]]", "v"));
    EXPECT_FALSE(ValueOf(*store, "HKEY_LOCAL_MACHINE\\SOFTWARE\\a]]>b", "v"));
    std::string log = TakeLog();
    EXPECT_NE(log.find("Deleting reg key hklm,software\\a]]>b\r\n"), std::string::npos) << log;
}

TEST_F(Setupdeck, ACommandWhoseMacroDoesNotFitIsSkipped) {
    // Setupdeck in a deep folder: <currdir> grows a text past MAX_PATH.
    std::string deep = "Program Files/Korvane/" + std::string(120, 'd');
    fs::path folder = machine_.Folder() / deep;
    fs::create_directories(folder);
    fs::copy_file(KP_SETUPDECK, folder / "Setupdeck.exe");
    Double(deep + "/helper.exe");
    std::string tail = "\\" + std::string(120, 'x');
    std::ofstream(folder / "Setupdeck.ini")
        << "[Install]\nk=launch#<currdir>\\helper.exe,<currdir>" + tail +
               "\n[root]\nname=cam\n[Uninstall]\nu=launch#<currdir>" + tail +
               ",/u\nv=delregkey#hklm,software\\v\n";
    auto result = machine_.Run((folder / "Setupdeck.exe").string(), {"-i", "cam"},
                               {"KP_WIN32_LOCAL_TIME=2005-03-07 14:05:09"});
    EXPECT_EQ(result.ExitCode, 0) << result.Stderr;
    // Neither a launch with the raw macro nor an unexpanded record entry.
    EXPECT_TRUE(Runs().empty());
    EXPECT_EQ(Products(),
              (std::vector<std::vector<std::string>>{{"CAM", "", "v=delregkey#hklm,software\\v"}}));
    EXPECT_EQ(TakeLog(),
              Lines({"Performing installation for cam.", "Invalid command!", "Invalid command!"}));
}

TEST_F(Setupdeck, ARecordThatDoesNotParseIsKeptBesideTheNewOne) {
    Ini("[root]\nname=cam\n");
    std::string bad = "<Installed><ONE Inf='one.inf'><k><![CDATA[delregkey#hklm,software\\one]]>";
    std::ofstream(Record()) << bad;
    Run({"-i", "cam"});
    std::ofstream(Record()) << bad + "2";
    Run({"-i", "cam"});
    EXPECT_EQ(Read(Record().string() + ".bad"), bad);
    EXPECT_EQ(Read(Record().string() + ".bad2"), bad + "2");
    EXPECT_EQ(Products(), (std::vector<std::vector<std::string>>{{"CAM", ""}}));
    EXPECT_EQ(TakeLog(), Lines({"Performing installation for cam.",
                                "Invalid install record C:\\WINDOWS\\Temp\\Setupdeck.xml! Kept as "
                                "C:\\WINDOWS\\Temp\\Setupdeck.xml.bad; starting a new one.",
                                "Performing installation for cam.",
                                "Invalid install record C:\\WINDOWS\\Temp\\Setupdeck.xml! Kept as "
                                "C:\\WINDOWS\\Temp\\Setupdeck.xml.bad2; starting a new one."}));
}

TEST_F(Setupdeck, ARecordThatIsNotOneXmlDocumentIsKeptBesideTheNewOne) {
    std::string bad[] = {"<?xml version='1.0'?><Installed><ONE Inf='o.inf'/></Installed>left",
                         "<Installed><ONE Inf='o.inf'/></Installed><Installed/>"};
    for (const std::string& text : bad) {
        std::ofstream(Record()) << text;
        Run({"-i", "cam"});
    }
    EXPECT_EQ(Read(Record().string() + ".bad"), bad[0]);
    EXPECT_EQ(Read(Record().string() + ".bad2"), bad[1]);
    EXPECT_TRUE(Products().empty());
}

TEST_F(Setupdeck, WithoutARecordOrItsProductNothingRuns) {
    Run({"-u", "cam"});
    EXPECT_FALSE(fs::exists(Record()));
    // No script: no command, and the record is written all the same.
    Run({"-i", "cam"});
    EXPECT_TRUE(Products().empty());
    Ini("[root]\nname=other\ninf=o.inf\n[Uninstall]\nk=launch#C:\\WINDOWS\\system32\\rundll32.exe,"
        "x\n");
    Run({"-i", "other"});
    auto before = Products();
    Run({"-u", "cam"});
    EXPECT_EQ(Products(), before);
    EXPECT_TRUE(Runs().empty());
    EXPECT_EQ(TakeLog(),
              Lines({"Performing uninstallation for cam.", "Performing installation for cam.",
                     "No product name!", "Performing installation for other.",
                     "Performing uninstallation for cam."}));
}

TEST_F(Setupdeck, SwitchesNeedANameAndUninstallWins) {
    Ini("[root]\nname=a\n");
    Run({"-i", "a", "-u", "b"});
    Run({});
    Run({"-u"});
    Run({"-i"});
    Run({"-i", "a", "-u"});
    EXPECT_EQ(TakeLog(), Lines({"Performing uninstallation for b.", "You passed an invalid switch!",
                                "You passed an invalid switch!", "You passed an invalid switch!",
                                "You passed an invalid switch!"}));
}

TEST_F(Setupdeck, ARecordThatCannotBeSavedIsLogged) {
    Ini("[root]\nname=cam\n");
    Run({"-i", "cam"}, {"KP_WIN32_FAULTS=IXMLDOMDocument.save=0x80070005"});
    EXPECT_FALSE(fs::exists(Record()));
    EXPECT_EQ(TakeLog(), Lines({"Performing installation for cam.",
                                "Cant save C:\\WINDOWS\\Temp\\Setupdeck.xml!"}));
}

TEST_F(Setupdeck, WithoutTheDomTheCommandsRunAndRundll32FallsBack) {
    Ini("[Install]\nk=addregkey#hklm,software\\t,v,d\n[root]\nname=cam\n");
    std::ofstream(Record()) << "<Installed/>";
    std::vector<std::string> fault = {"KP_WIN32_FAULTS=CoCreateInstance=0x80040154"};
    Run({"-i", "cam"}, fault);
    EXPECT_EQ(Read(Record()), "<Installed/>");
    Run({"-u", "cam"}, fault);
    EXPECT_EQ(TakeLog(),
              Lines({"Performing installation for cam.", "Adding reg key hklm,software\\t,v,d",
                     "AddKey software\\t v d", "Cant create DOM! Exiting...",
                     "Performing uninstallation for cam.", "Cant create DOM! Exiting...",
                     "LaunchCmdline::Launching C:\\WINDOWS\\system32\\rundll32.exe "
                     "setupapi,InstallHinfSection DefaultUninstall 132 "
                     "C:\\WINDOWS\\inf\\Instcam.inf"}));
}

TEST_F(Setupdeck, ALogMutexItsOwnerDiedHoldingIsReleasedSoANestedRunLogs) {
    // The last owner died holding the mutex; the outer run gets it abandoned,
    // then launches a second Setupdeck that logs while the outer waits for it.
    fs::create_directories(machine_.Folder() / "mutex");
    std::ofstream(machine_.Folder() / "mutex" / "setupdeck_mutex") << "4194304\n";
    fs::create_directories(Korvane() / "inner");
    fs::copy_file(KP_SETUPDECK, Korvane() / "inner" / "Setupdeck.exe");
    std::ofstream(Korvane() / "inner" / "Setupdeck.ini") << "[root]\nname=inner\n";
    Ini("[Install]\nk=launch#<currdir>\\inner\\Setupdeck.exe,-i inner\n[root]\nname=outer\n");
    auto result = machine_.Run((Korvane() / "Setupdeck.exe").string(), {"-i", "outer"},
                               {"KP_WIN32_LOCAL_TIME=2005-03-07 14:05:09"}, 20);
    EXPECT_EQ(result.ExitCode, 0) << result.Stderr;
    EXPECT_EQ(TakeLog(), Lines({"Performing installation for outer.",
                                "LaunchCmdline::Launching C:\\Program "
                                "Files\\Korvane\\inner\\Setupdeck.exe -i inner",
                                "Performing installation for inner."}));
    // Nobody owns it now.
    EXPECT_EQ(Read(machine_.Folder() / "mutex" / "setupdeck_mutex"), "");
}

TEST_F(Setupdeck, AScriptPathCannotLeaveTheMachine) {
    // Enough ".." for any temporary folder: they stop at the drive's root,
    // where the machine has no bin\\touch.
    std::string up;
    for (int i = 0; i < 24; i++) up += "..\\";
    std::string touched = (machine_.Folder() / "touched").string();
    Ini("[Install]\nk=launch#C:\\" + up + "bin\\touch," + touched + "\nl=launch#C:/" + up +
        "bin/touch," + touched + "\n[root]\nname=p\n");
    Run({"-i", "p"});
    EXPECT_EQ(TakeLog(), Lines({"Performing installation for p."}));
    EXPECT_FALSE(fs::exists(touched));
}

TEST_F(Setupdeck, AnUndoCommandMayUninstallAnotherProduct) {
    // The inner run needs the record while the outer waits for it to end.
    std::ofstream(Record()) << "<?xml version='1.0'?><Installed><OUTER Inf='o.inf'><k><![CDATA["
                               "launch#<currdir>\\Setupdeck.exe,-u inner]]></k></OUTER>"
                               "<INNER Inf='i.inf'/></Installed>";
    fs::path outer = Korvane() / "Setupdeck.exe";
    EXPECT_EQ(machine_.Run(outer.string(), {"-u", "outer"}, {}, 20).ExitCode, 0);
    EXPECT_TRUE(Products().empty());
}

// Each run reads the record, changes it and writes it back; the load is made
// slow, so that four runs at once all read before any writes.
TEST_F(Setupdeck, FourAtOnceKeepEveryProduct) {
    std::ofstream(Record()) << "<?xml version='1.0'?><Installed/>";
    for (int i = 0; i < 4; i++) {
        fs::path folder = Korvane() / ("p" + std::to_string(i));
        fs::create_directories(folder);
        fs::copy_file(KP_SETUPDECK, folder / "Setupdeck.exe");
        std::ofstream(folder / "Setupdeck.ini") << "[root]\nname=p" << i << "\n";
    }
    auto atOnce = [&](const char* which, const std::string& products) {
        std::vector<std::thread> runs;
        for (char p : products)
            runs.emplace_back([&, p] {
                std::string name = std::string("p") + p;
                auto result =
                    machine_.Run((Korvane() / name / "Setupdeck.exe").string(), {which, name},
                                 {"KP_WIN32_DELAYS=IXMLDOMDocument.load=700"});
                EXPECT_EQ(result.ExitCode, 0) << result.Stderr;
            });
        for (auto& run : runs) run.join();
        std::set<std::string> names;
        for (auto& product : Products()) names.insert(product[0]);
        return names;
    };
    EXPECT_EQ(atOnce("-i", "0123"), (std::set<std::string>{"P0", "P1", "P2", "P3"}));
    EXPECT_EQ(atOnce("-u", "02"), (std::set<std::string>{"P1", "P3"}));
}

TEST_F(Setupdeck, FourProcessesLoggingAtOnceGiveWholeLines) {
    std::string ini = "[Install]\n";
    for (int i = 0; i < 198; i++) ini += "k" + std::to_string(i) + "=bad\n";
    Ini(ini);
    std::vector<std::thread> runs;
    for (int i = 0; i < 4; i++) runs.emplace_back([&] { Run({"-i", "p"}); });
    for (auto& run : runs) run.join();
    std::string log = TakeLog();
    std::istringstream lines(log);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        count++;
        EXPECT_TRUE(line == std::string(kStamp) + "Invalid command!\r" ||
                    line == std::string(kStamp) + "Performing installation for p.\r" ||
                    line == std::string(kStamp) + "No product name!\r")
            << line;
    }
    // Each process: its installation line, 198 commands, the missing name.
    EXPECT_EQ(count, 4 * 200);
}

}  // namespace
