// Log lines of the modules: prefixes, pass rules, forwarding to the probe trace,
// truncation, the printf dialect, and the levels read from the registry.
#include <kp/dbgsink.h>
#include <kp/pool.h>
#include <kp/registry.h>

#include <string>

#include "FrameworkTestSupport.h"

namespace {

using zvtest::FrameworkTest;

constexpr char16_t kDebugKey[] = u"\\Registry\\Machine\\Software\\Korvane\\Echowell\\Debug";

class ZDebugTest : public FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        zvtest::RecordProbeSlots();
        KpDbgClear();
        KpDbgResetBreakCount();
    }

    // One ZDebugPrint of module "GenDisp" of driver "Echowell".
    static void Print(ULONG enable, ULONG level, ULONG flags, PCSTR format, ...) {
        va_list args;
        va_start(args, format);
        ZDebugPrint("Echowell", "GenDisp", enable, level, flags, format, args);
        va_end(args);
    }

    static std::string LastPrinted() {
        auto records = KpDbgRecords();
        return records.empty() ? std::string("<nothing>") : records.back();
    }
    static size_t PrintedCount() { return KpDbgRecords().size(); }
    static std::vector<zvtest::ProbeCall> Traced() { return zvtest::ProbeCallsOf(5); }
};

TEST_F(ZDebugTest, PrefixCarriesQuoteTagDriverAndModule) {
    struct Case {
        ULONG flags;
        const char* line;
    };
    const Case cases[] = {
        {1, "Echowell.GenDisp: x"},
        {ZDBG_ERR | 1, "=>ERR Echowell.GenDisp: x"},
        {ZDBG_WARN | 1, "=>WARN Echowell.GenDisp: x"},
        {ZDBG_ERR | ZDBG_WARN | 1, "=>ERR Echowell.GenDisp: x"},
        {ZDBG_QUOTE | 1, "'Echowell.GenDisp: x"},
        {ZDBG_QUOTE | ZDBG_WARN | 1, "'=>WARN Echowell.GenDisp: x"},
        {ZDBG_NO_PREFIX | ZDBG_QUOTE | ZDBG_ERR | 1, "x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        KpDbgClear();
        zvtest::ClearProbeCalls();
        Print(1, 3, c.flags, "x");
        EXPECT_EQ(LastPrinted(), c.line);
        auto traced = Traced();
        ASSERT_EQ(traced.size(), 1u);
        EXPECT_EQ(traced[0].Text, c.line);
        EXPECT_EQ(traced[0].Words[0], 1);  // the message level
    }
}

TEST_F(ZDebugTest, LinePassesByLevelAndEnableAndIsTracedRegardless) {
    Print(0, 3, 1, "disabled\n");  // enable 0: never printed, still traced
    EXPECT_EQ(PrintedCount(), 0u);
    ASSERT_EQ(Traced().size(), 1u);
    EXPECT_EQ(Traced()[0].Text, "Echowell.GenDisp: disabled\n");

    Print(1, 2, 3, "too verbose");  // level 3 above module level 2
    EXPECT_EQ(PrintedCount(), 0u);
    EXPECT_EQ(Traced().size(), 2u);
    EXPECT_EQ(Traced()[1].Words[0], 3);

    Print(1, 2, 2, "equal level");
    EXPECT_EQ(LastPrinted(), "Echowell.GenDisp: equal level");

    Print(1, 0, 0, "level zero");  // message level 0 passes at every module level
    EXPECT_EQ(LastPrinted(), "Echowell.GenDisp: level zero");

    KpDbgClear();
    Print(1, 16, 1, "sixteen");  // only the low 4 bits count: 16 is 0
    EXPECT_EQ(PrintedCount(), 0u);
    Print(1, 0x13, 3, "nineteen");
    EXPECT_EQ(LastPrinted(), "Echowell.GenDisp: nineteen");
}

TEST_F(ZDebugTest, NoProbeKeepsTheLineFromTheTrace) {
    Print(1, 3, ZDBG_NO_PROBE | 1, "printed only");
    EXPECT_EQ(LastPrinted(), "Echowell.GenDisp: printed only");
    EXPECT_TRUE(Traced().empty());

    KpDbgClear();
    Print(0, 3, ZDBG_NO_PROBE | 1, "%s", "seen by nobody");
    EXPECT_EQ(PrintedCount(), 0u);
    EXPECT_TRUE(Traced().empty());
}

TEST_F(ZDebugTest, DropSilencesEverything) {
    for (ULONG other : {0u, 1u, ZDBG_ERR, ZDBG_NO_PREFIX, ZDBG_BREAK, ZDBG_NO_PROBE, ZDBG_QUOTE}) {
        Print(1, 15, ZDBG_DROP | other | 1, "dropped");
    }
    EXPECT_EQ(PrintedCount(), 0u);
    EXPECT_TRUE(Traced().empty());
    EXPECT_EQ(KpDbgBreakCount(), 0u);
}

TEST_F(ZDebugTest, BreakFollowsOnlyAPrintedLine) {
    Print(0, 3, ZDBG_BREAK | 1, "not printed");
    Print(1, 1, ZDBG_BREAK | 2, "not printed either");
    EXPECT_EQ(KpDbgBreakCount(), 0u);
    Print(1, 3, ZDBG_BREAK | 1, "printed");
    EXPECT_EQ(KpDbgBreakCount(), 1u);
    EXPECT_EQ(LastPrinted(), "Echowell.GenDisp: printed");
}

TEST_F(ZDebugTest, LongLinesAreCutAt511Characters) {
    const std::string longText(2000, 'y');
    Print(1, 3, 1, "%s", longText.c_str());
    const std::string line = LastPrinted();
    ASSERT_EQ(line.size(), 511u);
    EXPECT_EQ(line.substr(0, 18), "Echowell.GenDisp: ");
    EXPECT_EQ(line.find_first_not_of('y', 18), std::string::npos);
    ASSERT_EQ(Traced().size(), 1u);
    EXPECT_EQ(Traced()[0].Text, line);

    KpDbgClear();
    Print(1, 3, ZDBG_NO_PREFIX | 1, "%s", longText.c_str());
    EXPECT_EQ(LastPrinted(), std::string(511, 'y'));

    // A line of exactly 511 characters is whole.
    KpDbgClear();
    Print(1, 3, ZDBG_NO_PREFIX | 1, "%s", std::string(511, 'z').c_str());
    EXPECT_EQ(LastPrinted(), std::string(511, 'z'));
}

TEST_F(ZDebugTest, FormatUsesTheKernelDialect) {
    Print(1, 3, ZDBG_NO_PREFIX | 1, "0x%lx %I64d %S 0x%08x %d %s %%",
          static_cast<ULONG>(0xC0000001), static_cast<LONGLONG>(-5000000000LL), u"wide", 0x1234u,
          -7, "narrow");
    EXPECT_EQ(LastPrinted(), "0xc0000001 -5000000000 wide 0x00001234 -7 narrow %");
}

TEST_F(ZDebugTest, PrintsUnderASpinLock) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    Print(1, 3, 1, "held at %d", static_cast<int>(KeGetCurrentIrql()));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(LastPrinted(), "Echowell.GenDisp: held at 2");
    EXPECT_EQ(Traced().size(), 1u);
}

TEST_F(ZDebugTest, PrintedLineIsNotUsedAsAFormatAgain) {
    Print(1, 3, 1, "%s", "100%s %n %d");
    EXPECT_EQ(LastPrinted(), "Echowell.GenDisp: 100%s %n %d");
}

TEST_F(ZDebugTest, ModuleRoutinesUseTheModuleWords) {
    using GenDisp = LogModule<LogModuleGenDisp>;
    using Device = LogModule<LogModuleDevice>;
    GenDisp::ModuleSetLevel(3, 1);
    Device::ModuleSetLevel(3, 0);
    GenDisp::ModulePrint(ZDBG_ERR | 1, "HandleKSProperty> status 0x%lx\n",
                         static_cast<ULONG>(STATUS_UNSUCCESSFUL));
    Device::ModulePrint(1, "CDevice::Init> silent\n");
    auto records = KpDbgRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], "=>ERR Echowell.GenDisp: HandleKSProperty> status 0xc0000001\n");
    ASSERT_EQ(Traced().size(), 2u);
    EXPECT_EQ(Traced()[1].Text, "Echowell.Device: CDevice::Init> silent\n");
    GenDisp::ModuleSetLevel(0, 0);
    Device::ModuleSetLevel(0, 0);
}

// ---------------------------------------------------------------------------
// Levels from the registry
// ---------------------------------------------------------------------------
using ZDebugLevelTest = ZDebugTest;

TEST_F(ZDebugLevelTest, MissingKeyIsCreatedAndEveryModuleGetsTwoWrittenBack) {
    const char* modules[] = {"DrvMain",  "Device",   "ZDebug", "Registry",    "OSDep",   "GenDisp",
                             "DSDisblr", "ZvKAPFWi", "IrpTgt", "FilterLogic", "KsFltTst"};
    for (const char* module : modules)
        EXPECT_EQ(ZDebugLevelRead("Echowell", module, nullptr), 2u) << module;
    ASSERT_TRUE(kp::reg::KeyExists(kDebugKey));
    auto names = kp::reg::ValueNames(kDebugKey);
    EXPECT_EQ(names.size(), std::size(modules));  // "Default" itself is never written
    EXPECT_EQ(kp::reg::GetDword(kDebugKey, u"GenDisp"), 2u);
    EXPECT_EQ(kp::reg::GetDword(kDebugKey, u"KsFltTst"), 2u);
    EXPECT_FALSE(kp::reg::GetValue(kDebugKey, u"Default").has_value());
}

TEST_F(ZDebugLevelTest, DefaultAndModuleValuesDecide) {
    ASSERT_EQ(kp::reg::SetDword(kDebugKey, u"Default", 3), STATUS_SUCCESS);
    ASSERT_EQ(kp::reg::SetDword(kDebugKey, u"GenDisp", 1), STATUS_SUCCESS);
    EXPECT_EQ(ZDebugLevelRead("Echowell", "Device", nullptr), 3u);
    EXPECT_EQ(ZDebugLevelRead("Echowell", "GenDisp", nullptr), 1u);
    EXPECT_EQ(kp::reg::GetDword(kDebugKey, u"Default"), 3u);
    EXPECT_EQ(kp::reg::GetDword(kDebugKey, u"Device"), 3u);
    EXPECT_EQ(kp::reg::GetDword(kDebugKey, u"GenDisp"), 1u);
}

TEST_F(ZDebugLevelTest, ValueOfAnotherTypeCountsAsMissingAndIsReplaced) {
    ASSERT_EQ(kp::reg::SetString(kDebugKey, u"GenDisp", u"3"), STATUS_SUCCESS);
    ASSERT_EQ(kp::reg::SetBinary(kDebugKey, u"Default", {9, 0, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(ZDebugLevelRead("Echowell", "GenDisp", nullptr), 2u);
    EXPECT_EQ(kp::reg::GetDword(kDebugKey, u"GenDisp"), 2u);
}

TEST_F(ZDebugLevelTest, DriversKeepTheirOwnKeys) {
    ASSERT_EQ(kp::reg::SetDword(u"\\Registry\\Machine\\Software\\Korvane\\Mutewell\\Debug",
                                u"Default", 1),
              STATUS_SUCCESS);
    EXPECT_EQ(ZDebugLevelRead("Mutewell", "GenDisp", nullptr), 1u);
    EXPECT_EQ(ZDebugLevelRead("Echowell", "GenDisp", nullptr), 2u);
}

TEST_F(ZDebugLevelTest, RegistrationReadsLevelAndFillsTheModuleTable) {
    ASSERT_EQ(kp::reg::SetDword(kDebugKey, u"ZvKAPFWi", 3), STATUS_SUCCESS);
    zvtest::RegisterAllLogModules();

    ASSERT_EQ(ProbeGetModuleCount(), 11);
    const ProbeModuleEntry* table = ProbeGetModuleTable();
    EXPECT_STREQ(table[0].Name, "DrvMain");
    EXPECT_STREQ(table[5].Name, "GenDisp");
    EXPECT_STREQ(table[7].Name, "ZvKAPFWi");
    EXPECT_STREQ(table[10].Name, "KsFltTst");
    EXPECT_EQ(table[7].Level, 3u);
    EXPECT_EQ(table[5].Level, 2u);
    EXPECT_EQ(table[5].CollectorWord, 0u);
    EXPECT_EQ(LogModule<LogModuleGenDisp>::ProbeIndex(), 5);
    EXPECT_EQ(LogModule<LogModuleZvKAPFWi>::Level(), 3u);
    EXPECT_EQ(LogModule<LogModuleGenDisp>::Enable(), 0u);

    // Until a collector enables a module, its lines reach only the trace.
    LogModule<LogModuleGenDisp>::ModulePrint(1, "Before> x\n");
    EXPECT_EQ(PrintedCount(), 0u);

    // The collector's call through the table switches that module on, and only it.
    table[5].LevelCallback(3, 1);
    LogModule<LogModuleGenDisp>::ModulePrint(3, "After> x\n");
    LogModule<LogModuleDevice>::ModulePrint(1, "Other> x\n");
    auto records = KpDbgRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], "Echowell.GenDisp: After> x\n");
    table[5].LevelCallback(0, 0);
}

TEST_F(ZDebugLevelTest, RegistrationTakesNoMemory) {
    // DriverEntry registers the modules before the allocator is set up.
    const KpPoolTagUsage before = KpPoolUsage(0);
    zvtest::RegisterAllLogModules();
    const KpPoolTagUsage after = KpPoolUsage(0);
    EXPECT_EQ(after.TotalAllocations, before.TotalAllocations);
    EXPECT_EQ(ProbeGetModuleCount(), 11);
}

}  // namespace
