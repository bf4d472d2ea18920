// Registry helpers: key paths, DWORD reads of every value type, writes.
#include <kp/registry.h>

#include "FrameworkTestSupport.h"
#include "Registry.h"

namespace {

using zvtest::FrameworkTest;

constexpr char16_t kBase[] = u"\\Registry\\Machine\\Software\\Korvane";
constexpr char16_t kValues[] = u"\\Registry\\Machine\\Software\\Korvane\\Values";

class RegistryTest : public FrameworkTest {
protected:
    static HANDLE OpenValuesKey(ACCESS_MASK access) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        HANDLE key = KpRegOpenKeyHandle(kValues, access, true, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return key;
    }
};

TEST_F(RegistryTest, KeyPathCreatesEveryLevelAndReturnsTheLast) {
    HANDLE key = nullptr;
    const ULONG handles = KpRegOpenKeyHandleCount();
    ASSERT_EQ(
        RegistryCreateKeyPath(nullptr, KEY_ALL_ACCESS,
                              u"\\Registry\\Machine\\Software\\Korvane\\Echowell\\Debug", &key),
        STATUS_SUCCESS);
    EXPECT_TRUE(kp::reg::KeyExists(u"\\Registry\\Machine\\Software\\Korvane"));
    EXPECT_TRUE(kp::reg::KeyExists(u"\\Registry\\Machine\\Software\\Korvane\\Echowell"));
    EXPECT_EQ(KpRegOpenKeyHandleCount(), handles + 1);  // the intermediate levels were closed
    EXPECT_EQ(RegistryWriteDword(key, u"Marker", 5), 1u);
    EXPECT_EQ(
        kp::reg::GetDword(u"\\Registry\\Machine\\Software\\Korvane\\Echowell\\Debug", u"Marker"),
        5u);
    ZwClose(key);

    // Again: the existing path is opened.
    ASSERT_EQ(
        RegistryCreateKeyPath(nullptr, KEY_ALL_ACCESS,
                              u"\\Registry\\Machine\\Software\\Korvane\\Echowell\\Debug", &key),
        STATUS_SUCCESS);
    EXPECT_EQ(RegistryReadDword(key, u"Marker", 0), 5u);
    ZwClose(key);
}

TEST_F(RegistryTest, RelativeKeyPathBelowARoot) {
    HANDLE root = OpenValuesKey(KEY_ALL_ACCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(RegistryCreateKeyPath(root, KEY_ALL_ACCESS, u"Debug\\Echowell", &key),
              STATUS_SUCCESS);
    EXPECT_TRUE(
        kp::reg::KeyExists(u"\\Registry\\Machine\\Software\\Korvane\\Values\\Debug\\Echowell"));
    ZwClose(key);
    ASSERT_EQ(RegistryCreateKeyPath(root, KEY_ALL_ACCESS, u"Single", &key), STATUS_SUCCESS);
    EXPECT_TRUE(kp::reg::KeyExists(u"\\Registry\\Machine\\Software\\Korvane\\Values\\Single"));
    EXPECT_EQ(kp::reg::SubKeyNames(kValues).size(), 2u);
    ZwClose(key);
    ZwClose(root);
}

TEST_F(RegistryTest, FailedLevelEndsTheWalkAndKeepsEarlierLevels) {
    HANDLE key = reinterpret_cast<HANDLE>(0x1234);
    // The empty component after "A" cannot be created.
    NTSTATUS status = RegistryCreateKeyPath(
        nullptr, KEY_ALL_ACCESS, u"\\Registry\\Machine\\Software\\Korvane\\A\\\\B", &key);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_TRUE(kp::reg::KeyExists(u"\\Registry\\Machine\\Software\\Korvane\\A"));
    EXPECT_FALSE(kp::reg::KeyExists(u"\\Registry\\Machine\\Software\\Korvane\\A\\B"));
}

TEST_F(RegistryTest, CreateKeyOpensOneLevel) {
    HANDLE key = nullptr;
    EXPECT_EQ(RegistryCreateKey(nullptr, KEY_ALL_ACCESS,
                                u"\\Registry\\Machine\\Software\\Korvane\\X\\Y", &key),
              STATUS_OBJECT_NAME_NOT_FOUND);  // the parent must exist
    ASSERT_EQ(kp::reg::CreateKeyPath(u"\\Registry\\Machine\\Software"), STATUS_SUCCESS);
    ASSERT_EQ(RegistryCreateKey(nullptr, KEY_ALL_ACCESS, kBase, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(kp::reg::KeyExists(kBase));
}

TEST_F(RegistryTest, ReadDwordTakesOnlyFourByteDwords) {
    ASSERT_EQ(kp::reg::SetDword(kValues, u"Seven", 7), STATUS_SUCCESS);
    HANDLE key = OpenValuesKey(KEY_QUERY_VALUE);
    ULONG found = 9;
    EXPECT_EQ(RegistryReadDwordEx(key, u"Seven", 3, &found), 7u);
    EXPECT_EQ(found, 1u);
    EXPECT_EQ(RegistryReadDwordEx(key, u"seven", 3, &found), 7u);  // names are case-insensitive
    EXPECT_EQ(RegistryReadDwordEx(key, u"Missing", 3, &found), 3u);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(RegistryReadDword(key, u"Missing", 0xABCDu), 0xABCDu);
    EXPECT_EQ(RegistryReadDwordEx(key, u"Missing", 4, nullptr), 4u);
    ZwClose(key);
}

TEST_F(RegistryTest, EveryOtherValueTypeCountsAsMissingWithoutOverrun) {
    struct Case {
        const char16_t* name;
        ULONG type;
        std::vector<uint8_t> data;
    };
    const std::vector<Case> cases = {
        {u"Sz", REG_SZ, kp::reg::StringBytes(u"abcdefgh")},
        {u"ExpandSz", REG_EXPAND_SZ, kp::reg::StringBytes(u"%SystemRoot%")},
        {u"MultiSz", REG_MULTI_SZ, kp::reg::MultiStringBytes({u"a", u"b"})},
        {u"Binary8", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"Binary4", REG_BINARY, {1, 2, 3, 4}},
        {u"Dword8", REG_DWORD, {1, 0, 0, 0, 2, 0, 0, 0}},
        {u"Dword2", REG_DWORD, {1, 0}},
        {u"DwordEmpty", REG_DWORD, {}},
        {u"Qword", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
        {u"None", REG_NONE, {}},
        {u"BigEndian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(kp::reg::SetValue(kValues, c.name, c.type, c.data.data(), c.data.size()),
                  STATUS_SUCCESS);
    }
    HANDLE key = OpenValuesKey(KEY_QUERY_VALUE);
    for (const Case& c : cases) {
        SCOPED_TRACE(kp::reg::Utf16ToUtf8(c.name));
        ULONG found = 9;
        EXPECT_EQ(RegistryReadDwordEx(key, c.name, 0x55u, &found), 0x55u);
        EXPECT_EQ(found, 0u);

        // Straight through the table reader: the destination and its
        // neighbours are untouched.
        struct {
            ULONG before = 0xAAAAAAAA;
            ULONG value = 0xBBBBBBBB;
            ULONG after = 0xCCCCCCCC;
        } guarded;
        const RegistryDwordEntry table[] = {{c.name, &guarded.value}, {nullptr, nullptr}};
        EXPECT_EQ(RegistryQueryValues(key, table), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(guarded.before, 0xAAAAAAAAu);
        EXPECT_EQ(guarded.value, 0xBBBBBBBBu);
        EXPECT_EQ(guarded.after, 0xCCCCCCCCu);
    }
    ZwClose(key);
}

TEST_F(RegistryTest, QueryValuesReadsEveryEntryAndMissingOnesKeepTheirDefaults) {
    ASSERT_EQ(kp::reg::SetDword(kValues, u"One", 1), STATUS_SUCCESS);
    ASSERT_EQ(kp::reg::SetDword(kValues, u"Two", 2), STATUS_SUCCESS);
    HANDLE key = OpenValuesKey(KEY_QUERY_VALUE);
    ULONG one = 0, two = 0, three = 33, four = 44;
    const RegistryDwordEntry all[] = {{u"One", &one}, {u"Two", &two}, {nullptr, nullptr}};
    EXPECT_EQ(RegistryQueryValues(key, all), STATUS_SUCCESS);
    EXPECT_EQ(one, 1u);
    EXPECT_EQ(two, 2u);
    const RegistryDwordEntry gap[] = {{u"Three", &three}, {u"One", &four}, {nullptr, nullptr}};
    EXPECT_EQ(RegistryQueryValues(key, gap), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(three, 33u);
    EXPECT_EQ(four, 1u);
    ZwClose(key);
}

TEST_F(RegistryTest, ReadThroughABadHandleGivesTheDefault) {
    ULONG found = 9;
    EXPECT_EQ(RegistryReadDwordEx(reinterpret_cast<HANDLE>(0x7777), u"Any", 12, &found), 12u);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(RegistryReadDwordEx(nullptr, u"Any", 13, &found), 13u);
    EXPECT_EQ(found, 0u);
}

TEST_F(RegistryTest, WriteDwordReportsSuccessAsOneAndFailureAsZero) {
    HANDLE writable = OpenValuesKey(KEY_ALL_ACCESS);
    EXPECT_EQ(RegistryWriteDword(writable, u"Written", 0xDEADBEEF), 1u);
    EXPECT_EQ(RegistryWriteDword(writable, u"Written", 6), 1u);  // replaces
    ZwClose(writable);
    auto value = kp::reg::GetValue(kValues, u"Written");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(value->Data, (std::vector<uint8_t>{6, 0, 0, 0}));

    // A key deleted under an open handle, and a handle that is none.
    HANDLE orphan = OpenValuesKey(KEY_ALL_ACCESS);
    ASSERT_EQ(kp::reg::DeleteTree(kValues), STATUS_SUCCESS);
    EXPECT_EQ(RegistryWriteDword(orphan, u"Written", 1), 0u);
    ZwClose(orphan);
    EXPECT_EQ(RegistryWriteDword(reinterpret_cast<HANDLE>(0x7777), u"Written", 1), 0u);
}

}  // namespace
