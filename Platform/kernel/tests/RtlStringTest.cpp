// Counted 16-bit strings and the memory helpers.
#include <string>

#include <gtest/gtest.h>

#include "kp/testing.h"
#include "platform/rtl.h"

namespace {

using RtlStringTest = kp::testing::KernelTest;

std::u16string Text(const UNICODE_STRING& s) {
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

TEST_F(RtlStringTest, InitCountsBytesWithoutTheTerminator) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"Echowell");
    EXPECT_EQ(s.Length, 16);
    EXPECT_EQ(s.MaximumLength, 18);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
    ANSI_STRING a;
    RtlInitAnsiString(&a, "DrvMain");
    EXPECT_EQ(a.Length, 7);
    EXPECT_EQ(a.MaximumLength, 8);
}

TEST_F(RtlStringTest, CopyAndAppendStayInsideTheBuffer) {
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING dest{0, sizeof buffer, buffer};
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, u"ZAEC");
    RtlCopyUnicodeString(&dest, &src);
    EXPECT_EQ(Text(dest), u"ZAEC");
    EXPECT_EQ(buffer[4], 0) << "terminated when there is room";
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"Aud"), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), u"ZAECAud");
    EXPECT_EQ(buffer[7], 0);
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"i"), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 16) << "fills the buffer exactly, without a terminator";
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"o"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(dest), u"ZAECAudi");

    UNICODE_STRING small{0, 6, buffer};
    RtlInitUnicodeString(&src, u"AudioFilterNoLoad");
    RtlCopyUnicodeString(&small, &src);
    EXPECT_EQ(Text(small), u"Aud") << "a copy is cut to the destination";
    RtlCopyUnicodeString(&small, nullptr);
    EXPECT_EQ(small.Length, 0);

    WCHAR big[32];
    UNICODE_STRING whole{0, sizeof big, big};
    RtlInitUnicodeString(&src, u"ZSAM");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&whole, &src), STATUS_SUCCESS);
    RtlInitUnicodeString(&src, u"AudioFilterMaster");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&whole, &src), STATUS_SUCCESS);
    EXPECT_EQ(Text(whole), u"ZSAMAudioFilterMaster");
}

TEST_F(RtlStringTest, CompareAndEqualWithAndWithoutCase) {
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, u"Software\\Korvane");
    RtlInitUnicodeString(&b, u"SOFTWARE\\korvane");
    RtlInitUnicodeString(&c, u"Software");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&c, &a, TRUE), 0) << "a prefix sorts first";
    EXPECT_GT(RtlCompareUnicodeString(&a, &c, TRUE), 0);
    EXPECT_TRUE(RtlPrefixUnicodeString(&c, &b, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&a, &c, TRUE));
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'z'), u'Z');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00e9'), u'\u00c9');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00f7'), u'\u00f7');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'_'), u'_');
}

TEST_F(RtlStringTest, IntegerConversionsBothWays) {
    WCHAR buffer[12];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(0xC0000001u, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"C0000001");
    EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 0, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"4294967295");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"101");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 7, &s), STATUS_INVALID_PARAMETER);
    UNICODE_STRING tiny{0, 4, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &tiny), STATUS_BUFFER_OVERFLOW);

    struct Case {
        const char16_t* Text;
        ULONG Base;
        ULONG Value;
    } cases[] = {
        {u"  42", 0, 42},
        {u"-7", 10, 0xFFFFFFF9u},
        {u"0x1F", 0, 31},
        {u"0b101", 0, 5},
        {u"0o17", 0, 15},
        {u"ff", 16, 255},
        {u"12z", 10, 12},
        {u"", 10, 0},
        {u"4294967295", 10, 4294967295u},
    };
    for (const Case& c : cases) {
        UNICODE_STRING in;
        RtlInitUnicodeString(&in, c.Text);
        ULONG value = 0xDEAD;
        EXPECT_EQ(RtlUnicodeStringToInteger(&in, c.Base, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, c.Value) << std::string(c.Text, c.Text + in.Length / 2);
    }
    UNICODE_STRING in;
    RtlInitUnicodeString(&in, u"1");
    ULONG value;
    EXPECT_EQ(RtlUnicodeStringToInteger(&in, 3, &value), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlStringTest, PoolBackedStringsAreFreedByTheirRoutines) {
    UNICODE_STRING s;
    ASSERT_TRUE(RtlCreateUnicodeString(&s, u"\\??\\USB#VID_1234"));
    EXPECT_EQ(Text(s), u"\\??\\USB#VID_1234");
    EXPECT_EQ(s.Buffer[s.Length / 2], 0);
    ANSI_STRING a;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&a, &s, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(a.Buffer, a.Length), "\\??\\USB#VID_1234");
    UNICODE_STRING back;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &a, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&back, &s, FALSE));
    RtlFreeUnicodeString(&s);
    RtlFreeUnicodeString(&back);
    RtlFreeAnsiString(&a);
    EXPECT_EQ(s.Buffer, nullptr);

    FailAllocation(0, 1);
    EXPECT_FALSE(RtlCreateUnicodeString(&s, u"x"));
}

TEST_F(RtlStringTest, MemoryHelpers) {
    UCHAR a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8];
    RtlCopyMemory(b, a, sizeof a);
    EXPECT_TRUE(RtlEqualMemory(a, b, sizeof a));
    b[5] = 0;
    EXPECT_EQ(RtlCompareMemory(a, b, sizeof a), 5u);
    RtlFillMemory(b, 4, 0xAB);
    EXPECT_EQ(b[3], 0xAB);
    RtlMoveMemory(a + 1, a, 7);
    EXPECT_EQ(a[7], 7);
    RtlZeroMemory(a, sizeof a);
    EXPECT_EQ(RtlCompareMemory(a, "\0\0\0\0\0\0\0\0", 8), 8u);
}

}  // namespace
