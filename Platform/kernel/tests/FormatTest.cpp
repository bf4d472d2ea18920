// The kernel's printf dialect, its bounded forms and DbgPrint's sink.
#include <string>

#include <gtest/gtest.h>

#include "kp/dbgsink.h"
#include "kp/testing.h"
#include "platform/rtl.h"

namespace {

using FormatTest = kp::testing::KernelTest;

std::string Format(const char* format, ...) {
    char buffer[600];
    va_list ap;
    va_start(ap, format);
    int n = _vsnprintf(buffer, sizeof buffer, format, ap);
    va_end(ap);
    EXPECT_EQ(n, static_cast<int>(std::strlen(buffer)));
    return buffer;
}

TEST_F(FormatTest, DialectTable) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\??\\USB#Cam");
    link.Length = 8;  // "\??\" only: %wZ is bounded by Length
    ANSI_STRING name;
    RtlInitAnsiString(&name, "Echowell");
    struct Row {
        std::string Got, Want;
    } rows[] = {
        {Format("0x%lx", 0xC0000001u), "0xc0000001"},
        {Format("%ld", -5), "-5"},
        {Format("%lu", 0xFFFFFFFFu), "4294967295"},
        {Format("%I64d", -5000000000LL), "-5000000000"},
        {Format("%I64u %I64x", 18446744073709551615ULL, 0x123456789ABCDEFULL),
         "18446744073709551615 123456789abcdef"},
        {Format("%lld", -9000000000LL), "-9000000000"},
        {Format("%S", u"abc"), "abc"},
        {Format("%ws|%ls", u"ws", u"ls"), "ws|ls"},
        {Format("%wZ|%Z", &link, &name), "\\??\\|Echowell"},
        {Format("0x%08x", 0x1234u), "0x00001234"},
        {Format("%X", 0xBEEFu), "BEEF"},
        {Format("%o %#o %#x %#x", 8u, 8u, 255u, 0u), "10 010 0xff 0"},
        {Format("[%-10s]", "DrvMain"), "[DrvMain   ]"},
        {Format("[%10s]", "DrvMain"), "[   DrvMain]"},
        {Format("[%.*s]", 3, "Mutewell"), "[Mut]"},
        {Format("[%*d]", -4, 7), "[7   ]"},
        {Format("[%5.3d]", 7), "[  007]"},
        {Format("[%+d %+d % d]", 5, -5, 5), "[+5 -5  5]"},
        {Format("[%05d]", -42), "[-0042]"},
        {Format("%c%C", 'k', u'p'), "kp"},
        {Format("%s %S", static_cast<const char*>(nullptr), static_cast<const WCHAR*>(nullptr)),
         "(null) (null)"},
        {Format("%hd %hu %hhx", 65537, 65537, 0x1FF), "1 1 ff"},
        {Format("%p", reinterpret_cast<void*>(0xABCDEF)), "0000000000ABCDEF"},
        {Format("%Iu", static_cast<size_t>(1) << 40), "1099511627776"},
        {Format("%.2f %e", 2.5, 1000.0), "2.50 1.000000e+03"},
        {Format("100%%"), "100%"},
        {Format("%S", u"caf\u00e9"), "caf?"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.Got, row.Want);
}

TEST_F(FormatTest, LongReadsThirtyTwoBitsEvenWhenTheSlotHoldsMore) {
    // A 64-bit slot whose upper half is set: %lx must look at the low 32 bits only.
    EXPECT_EQ(Format("%lx %lx", 0xFFFFFFFF00000010ULL, 0x20u), "10 20");
}

TEST_F(FormatTest, TruncationKeepsATerminatorAndReportsMinusOne) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(_snprintf(buffer, sizeof buffer, "%s", "1234567"), 7);
    EXPECT_STREQ(buffer, "1234567");
    EXPECT_EQ(_snprintf(buffer, sizeof buffer, "%s", "12345678"), -1)
        << "no room for the terminator";
    EXPECT_STREQ(buffer, "1234567");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(_snprintf(buffer, 4, "0x%08x", 0xC0000001u), -1);
    EXPECT_STREQ(buffer, "0xc");
    EXPECT_EQ(buffer[4], 'x') << "nothing written past the count";
    EXPECT_EQ(_snprintf(buffer, 0, "abc"), -1);

    // The log line limit: 511 characters and the terminator.
    char line[512];
    std::string text(600, 'a');
    EXPECT_EQ(_snprintf(line, sizeof line, "%s", text.c_str()), -1);
    EXPECT_EQ(std::strlen(line), 511u);
}

TEST_F(FormatTest, WideRoutinesSwapTheMeaningOfS) {
    WCHAR buffer[256];
    const std::u16string path = u"\\Registry\\Machine\\Software\\Korvane\\Echowell\\Debug";
    EXPECT_EQ(
        _snwprintf(buffer, 256, u"\\Registry\\Machine\\Software\\Korvane\\%s\\Debug", u"Echowell"),
        static_cast<int>(path.size()));
    EXPECT_EQ(std::u16string(buffer), path);
    _snwprintf(buffer, 256, u"%S|%hs|%ls|%c|%d", "narrow", "hs", u"ls", u'w', -3);
    EXPECT_EQ(std::u16string(buffer), u"narrow|hs|ls|w|-3");

    EXPECT_EQ(RtlStringCchPrintfW(buffer, 256, u"Debug\\%s", u"Mutewell"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"Debug\\Mutewell");
    EXPECT_EQ(RtlStringCbPrintfW(buffer, 8, u"%s", u"abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 0, u"x"), STATUS_INVALID_PARAMETER);

    char narrow[6];
    EXPECT_EQ(RtlStringCchPrintfA(narrow, sizeof narrow, "%d", 123456), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "12345");

    EXPECT_EQ(RtlStringCchCopyW(buffer, 4, u"ZAEC"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"ZAE");
    EXPECT_EQ(RtlStringCchCopyW(buffer, 256, u"ZAEC"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCchCatW(buffer, 256, u"AudioFilterNoLoad"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"ZAECAudioFilterNoLoad");
    size_t length = 0;
    EXPECT_EQ(RtlStringCchLengthW(buffer, 256, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 21u);
    EXPECT_EQ(RtlStringCchLengthW(buffer, 21, &length), STATUS_INVALID_PARAMETER);
}

TEST_F(FormatTest, DbgPrintGoesToTheSinkAndBreakpointsAreCounted) {
    DbgPrint("Echowell.DrvMain: DriverEntry> ***** Driver Loaded *****\n");
    DbgPrint("%s", "two\nlines, the second unfinished");
    DbgPrintEx(0, 0, "status 0x%lx\n", 0xC000009Au);
    EXPECT_EQ(KpDbgRecords().size(), 3u);
    std::vector<std::string> lines = DbgLines();
    ASSERT_EQ(lines.size(), 3u) << "nothing after the last line end";
    EXPECT_EQ(lines[0], "Echowell.DrvMain: DriverEntry> ***** Driver Loaded *****");
    EXPECT_EQ(lines[1], "two");
    EXPECT_EQ(lines[2], "lines, the second unfinishedstatus 0xc000009a");
    KpDbgClear();
    EXPECT_TRUE(KpDbgText().empty());

    ULONG breaks = KpDbgBreakCount();
    DbgBreakPoint();
    EXPECT_EQ(KpDbgBreakCount(), breaks + 1);
}

class FormatDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FormatDeathTest, ConversionsOutsideTheDialectBugCheck) {
    char buffer[16];
    int n;
    EXPECT_DEATH(_snprintf(buffer, sizeof buffer, "%n", &n), "kernel printf: %n in format \"%n\"");
    EXPECT_DEATH(_snprintf(buffer, sizeof buffer, "%k"), "an unknown conversion");
    EXPECT_DEATH(_snprintf(buffer, sizeof buffer, "50%"), "a '%' at the end");
    EXPECT_DEATH(ASSERT(1 + 1 == 3), "Assertion failed: 1 \\+ 1 == 3");
}

}  // namespace
