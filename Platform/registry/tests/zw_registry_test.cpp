// The kernel's registry calls: opening and creating keys, access checks, the
// information records and their buffer-size protocol, enumeration, deletion,
// handle accounting, the interrupt-level rule and the Rtl helpers.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "kp/clock.h"
#include "kp/registry.h"
#include "platform/ke.h"
#include "platform/ob.h"
#include "platform/rtl.h"
#include "platform/zw.h"

namespace {

using kp::reg::Machine;

const std::u16string kKorvane = u"\\Registry\\Machine\\Software\\Korvane";

// A UNICODE_STRING over a text the caller keeps alive.
struct Name {
    explicit Name(std::u16string_view text) : text(text) {
        string.Length = static_cast<USHORT>(this->text.size() * sizeof(WCHAR));
        string.MaximumLength = string.Length;
        string.Buffer = this->text.data();
    }
    PUNICODE_STRING get() { return &string; }
    std::u16string text;
    UNICODE_STRING string;
};

class ZwRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        Machine().Clear();
        ASSERT_EQ(0u, KpRegOpenKeyHandleCount()) << "an earlier test left key handles open";
    }
    void TearDown() override {
        EXPECT_EQ(0u, KpRegOpenKeyHandleCount()) << "key handles leaked";
        Machine().Clear();
    }

    NTSTATUS Create(HANDLE* key, std::u16string_view path, ACCESS_MASK access = KEY_ALL_ACCESS,
                    HANDLE root = nullptr, ULONG options = REG_OPTION_NON_VOLATILE,
                    ULONG* disposition = nullptr) {
        Name name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
        return ZwCreateKey(key, access, &attributes, 0, nullptr, options, disposition);
    }
    NTSTATUS Open(HANDLE* key, std::u16string_view path, ACCESS_MASK access = KEY_ALL_ACCESS,
                  HANDLE root = nullptr) {
        Name name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
        return ZwOpenKey(key, access, &attributes);
    }
    HANDLE Korvane(ACCESS_MASK access = KEY_ALL_ACCESS) {
        EXPECT_EQ(STATUS_SUCCESS, kp::reg::CreateKeyPath(kKorvane));
        HANDLE key = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, Open(&key, kKorvane, access));
        return key;
    }
    NTSTATUS SetDword(HANDLE key, std::u16string_view name, ULONG value) {
        return ZwSetValueKey(key, Name(name).get(), 0, REG_DWORD, &value, sizeof(value));
    }
};

TEST_F(ZwRegistryTest, CreateOpensOrMakesOneLevelBelowAnExistingParent) {
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Create(&key, kKorvane));  // "Software" is missing
    EXPECT_EQ(nullptr, key);
    ASSERT_EQ(STATUS_SUCCESS, Create(&key, u"\\Registry\\Machine\\Software", KEY_ALL_ACCESS,
                                     nullptr, 0, &disposition));
    EXPECT_EQ(ULONG{REG_CREATED_NEW_KEY}, disposition);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    ASSERT_EQ(STATUS_SUCCESS, Create(&key, u"\\REGISTRY\\MACHINE\\software", KEY_ALL_ACCESS,
                                     nullptr, 0, &disposition));
    EXPECT_EQ(ULONG{REG_OPENED_EXISTING_KEY}, disposition);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    for (std::u16string_view root : {u"\\Registry", u"\\Registry\\Machine", u"\\Registry\\User"}) {
        ASSERT_EQ(STATUS_SUCCESS, Open(&key, root)) << kp::reg::Utf16ToUtf8(root);
        EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
        // A key path is created level by level from the top: the roots open as existing keys.
        ASSERT_EQ(STATUS_SUCCESS, Create(&key, root, KEY_ALL_ACCESS, nullptr, 0, &disposition));
        EXPECT_EQ(ULONG{REG_OPENED_EXISTING_KEY}, disposition);
        EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    }
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(&key, kKorvane));
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, Create(&key, u"\\Registry\\Machine\\Software\\"));
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, Create(&key, u"\\Registry\\Machine\\\\Software"));
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, Open(&key, u"\\Registry\\Machine\\"));
}

// A create relative to a handle does not depend on the rights of that handle,
// only the new handle's own rights count.
TEST_F(ZwRegistryTest, CreateRelativeToAHandleWithoutCreateRightSucceeds) {
    HANDLE driverKey = Korvane(STANDARD_RIGHTS_REQUIRED);
    HANDLE debug = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Create(&debug, u"Debug", KEY_ALL_ACCESS, driverKey));
    HANDLE echowell = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Create(&echowell, u"Echowell", KEY_ALL_ACCESS, debug));
    EXPECT_EQ(STATUS_SUCCESS, SetDword(echowell, u"Default", 3));
    EXPECT_EQ(3u, kp::reg::GetDword(kKorvane + u"\\Debug\\Echowell", u"default"));
    HANDLE again = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, Open(&again, u"debug\\ECHOWELL", KEY_READ, driverKey));
    HANDLE failed = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, Open(&failed, u"\\Debug", KEY_READ, driverKey));
    EXPECT_EQ(nullptr, failed);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Create(&failed, u"A\\B", KEY_READ, driverKey));
    for (HANDLE h : {driverKey, debug, echowell, again}) EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
}

TEST_F(ZwRegistryTest, KernelCallersAreNotHeldToTheHandlesAccess) {
    // A driver opens its device's keys with STANDARD_RIGHTS_REQUIRED and then reads
    // and writes values through them: kernel-mode calls skip the access check.
    HANDLE full = Korvane();
    ASSERT_EQ(STATUS_SUCCESS, SetDword(full, u"v", 1));
    HANDLE child = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Create(&child, u"Child", KEY_ALL_ACCESS, full));
    ASSERT_EQ(STATUS_SUCCESS, ZwClose(child));
    UCHAR buffer[128];
    ULONG needed = 0;
    Name v(u"v");
    for (ACCESS_MASK access : {ACCESS_MASK(KEY_QUERY_VALUE), ACCESS_MASK(KEY_SET_VALUE),
                               ACCESS_MASK(KEY_ENUMERATE_SUB_KEYS), ACCESS_MASK(GENERIC_READ),
                               ACCESS_MASK(STANDARD_RIGHTS_REQUIRED), ACCESS_MASK(0)}) {
        SCOPED_TRACE(testing::Message() << "access 0x" << std::hex << access);
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, Open(&key, kKorvane, access));
        EXPECT_EQ(STATUS_SUCCESS, SetDword(key, u"v", 2));
        EXPECT_EQ(STATUS_SUCCESS, ZwQueryValueKey(key, v.get(), KeyValuePartialInformation, buffer,
                                                  sizeof(buffer), &needed));
        EXPECT_EQ(2u, *reinterpret_cast<ULONG*>(
                          reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->Data));
        EXPECT_EQ(STATUS_SUCCESS, ZwDeleteValueKey(key, v.get()));
        ASSERT_EQ(STATUS_SUCCESS, SetDword(full, u"v", 1));
        EXPECT_EQ(STATUS_SUCCESS,
                  ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof(buffer), &needed));
        EXPECT_EQ(STATUS_SUCCESS, ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer,
                                                      sizeof(buffer), &needed));
        EXPECT_EQ(STATUS_SUCCESS,
                  ZwQueryKey(key, KeyFullInformation, buffer, sizeof(buffer), &needed));
        EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(key));  // the key has a subkey
        EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    }
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(full));
}

// Checks the buffer-size protocol of one information call at every length up to
// the full record plus a little: ResultLength always the full size, nothing
// written below the fixed part, only the fixed part below the full size.
// Returns the full record.
std::vector<UCHAR> ExpectSizeProtocol(const std::function<NTSTATUS(PVOID, ULONG, PULONG)>& call,
                                      size_t fixed) {
    std::vector<UCHAR> full(4096, 0xCD);
    ULONG needed = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, call(nullptr, 0, &needed));
    EXPECT_GE(needed, fixed);
    EXPECT_EQ(STATUS_SUCCESS, call(full.data(), needed, &needed));
    full.resize(needed);
    for (ULONG length = 0; length <= needed + 3; ++length) {
        SCOPED_TRACE(testing::Message() << "length " << length << " of " << needed);
        std::vector<UCHAR> buffer(needed + 8, 0xCD);
        ULONG result = 0xDEAD;
        const NTSTATUS status = call(buffer.data(), length, &result);
        EXPECT_EQ(needed, result);
        size_t written;
        if (length < fixed) {
            EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, status);
            written = 0;
        } else if (length < needed) {
            EXPECT_EQ(STATUS_BUFFER_OVERFLOW, status);
            written = fixed;
        } else {
            EXPECT_EQ(STATUS_SUCCESS, status);
            written = needed;
        }
        EXPECT_TRUE(std::equal(full.begin(), full.begin() + written, buffer.begin()));
        EXPECT_TRUE(
            std::all_of(buffer.begin() + written, buffer.end(), [](UCHAR b) { return b == 0xCD; }));
    }
    return full;
}

std::u16string NameAt(const std::vector<UCHAR>& record, size_t offset, ULONG bytes) {
    std::u16string name(bytes / 2, u'\0');
    std::memcpy(name.data(), record.data() + offset, bytes);
    return name;
}

TEST_F(ZwRegistryTest, ValueRecordsFollowTheBufferSizeProtocol) {
    HANDLE key = Korvane();
    const UCHAR blob[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, Name(u"BlobValue").get(), 0, REG_BINARY,
                                            const_cast<UCHAR*>(blob), 11));
    Name query(u"BLOBVALUE");  // the records carry the stored spelling
    for (bool enumerate : {false, true}) {
        SCOPED_TRACE(enumerate ? "ZwEnumerateValueKey" : "ZwQueryValueKey");
        auto call = [&](KEY_VALUE_INFORMATION_CLASS infoClass) {
            return [&, infoClass](PVOID buffer, ULONG length, PULONG result) {
                return enumerate
                           ? ZwEnumerateValueKey(key, 0, infoClass, buffer, length, result)
                           : ZwQueryValueKey(key, query.get(), infoClass, buffer, length, result);
            };
        };
        std::vector<UCHAR> record = ExpectSizeProtocol(
            call(KeyValuePartialInformation), FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data));
        const auto* partial = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(record.data());
        EXPECT_EQ(ULONG{REG_BINARY}, partial->Type);
        EXPECT_EQ(11u, partial->DataLength);
        EXPECT_EQ(0, std::memcmp(blob, partial->Data, 11));

        record = ExpectSizeProtocol(call(KeyValueBasicInformation),
                                    FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name));
        const auto* basic = reinterpret_cast<const KEY_VALUE_BASIC_INFORMATION*>(record.data());
        EXPECT_EQ(ULONG{REG_BINARY}, basic->Type);
        EXPECT_EQ(u"BlobValue", NameAt(record, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name),
                                       basic->NameLength));

        record = ExpectSizeProtocol(call(KeyValueFullInformation),
                                    FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name));
        const auto* full = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(record.data());
        EXPECT_EQ(u"BlobValue",
                  NameAt(record, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name), full->NameLength));
        EXPECT_EQ(11u, full->DataLength);
        EXPECT_EQ(0u, full->DataOffset % 8);
        EXPECT_GE(full->DataOffset,
                  FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + full->NameLength);
        ASSERT_EQ(record.size(), full->DataOffset + 11u);
        EXPECT_EQ(0, std::memcmp(blob, record.data() + full->DataOffset, 11));
    }
    UCHAR buffer[64];
    ULONG needed = 0;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              ZwQueryValueKey(key, Name(u"Missing").get(), KeyValuePartialInformation, buffer, 64,
                              &needed));
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES,
              ZwEnumerateValueKey(key, 1, KeyValueBasicInformation, buffer, 64, &needed));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              ZwQueryValueKey(key, query.get(), KeyValuePartialInformation, buffer, 64, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              ZwQueryValueKey(key, query.get(), static_cast<KEY_VALUE_INFORMATION_CLASS>(9), buffer,
                              64, &needed));
    EXPECT_EQ(
        STATUS_NOT_SUPPORTED,
        ZwQueryValueKey(key, query.get(), KeyValuePartialInformationAlign64, buffer, 64, &needed));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
}

TEST_F(ZwRegistryTest, KeyRecordsFollowTheBufferSizeProtocol) {
    HANDLE key = Korvane();
    HANDLE child = nullptr;
    Name className(u"ClassText");
    Name childName(u"ChildKey");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, childName.get(), OBJ_CASE_INSENSITIVE, key, nullptr);
    ASSERT_EQ(STATUS_SUCCESS,
              ZwCreateKey(&child, KEY_ALL_ACCESS, &attributes, 0, className.get(), 0, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(child, u"SomeValue", 5));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key, u"v", 5));

    std::vector<UCHAR> record = ExpectSizeProtocol(
        [&](PVOID b, ULONG l, PULONG r) {
            return ZwEnumerateKey(key, 0, KeyBasicInformation, b, l, r);
        },
        FIELD_OFFSET(KEY_BASIC_INFORMATION, Name));
    const auto* basic = reinterpret_cast<const KEY_BASIC_INFORMATION*>(record.data());
    EXPECT_EQ(u"ChildKey",
              NameAt(record, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name), basic->NameLength));

    record = ExpectSizeProtocol(
        [&](PVOID b, ULONG l, PULONG r) {
            return ZwEnumerateKey(key, 0, KeyNodeInformation, b, l, r);
        },
        FIELD_OFFSET(KEY_NODE_INFORMATION, Name));
    const auto* node = reinterpret_cast<const KEY_NODE_INFORMATION*>(record.data());
    EXPECT_EQ(u"ChildKey",
              NameAt(record, FIELD_OFFSET(KEY_NODE_INFORMATION, Name), node->NameLength));
    EXPECT_EQ(u"ClassText", NameAt(record, node->ClassOffset, node->ClassLength));

    for (bool enumerate : {true, false}) {
        record = ExpectSizeProtocol(
            [&](PVOID b, ULONG l, PULONG r) {
                return enumerate ? ZwEnumerateKey(key, 0, KeyFullInformation, b, l, r)
                                 : ZwQueryKey(child, KeyFullInformation, b, l, r);
            },
            FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
        const auto* full = reinterpret_cast<const KEY_FULL_INFORMATION*>(record.data());
        EXPECT_EQ(u"ClassText", NameAt(record, full->ClassOffset, full->ClassLength));
        EXPECT_EQ(0u, full->SubKeys);
        EXPECT_EQ(1u, full->Values);
        EXPECT_EQ(18u, full->MaxValueNameLen);
        EXPECT_EQ(4u, full->MaxValueDataLen);
    }

    record = ExpectSizeProtocol(
        [&](PVOID b, ULONG l, PULONG r) { return ZwQueryKey(child, KeyNameInformation, b, l, r); },
        FIELD_OFFSET(KEY_NAME_INFORMATION, Name));
    const auto* name = reinterpret_cast<const KEY_NAME_INFORMATION*>(record.data());
    EXPECT_EQ(kKorvane + u"\\ChildKey",
              NameAt(record, FIELD_OFFSET(KEY_NAME_INFORMATION, Name), name->NameLength));

    UCHAR buffer[256];
    ULONG needed = 0;
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES,
              ZwEnumerateKey(key, 1, KeyBasicInformation, buffer, sizeof(buffer), &needed));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              ZwEnumerateKey(key, 0, KeyNameInformation, buffer, sizeof(buffer), &needed));
    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              ZwQueryKey(key, KeyCachedInformation, buffer, sizeof(buffer), &needed));
    for (HANDLE h : {key, child}) EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
}

TEST_F(ZwRegistryTest, EnumerationOrder) {
    HANDLE key = Korvane();
    for (std::u16string_view name : {u"mute", u"Echo", u"ZVPerf", u"debug"}) {
        HANDLE child = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, Create(&child, name, KEY_READ, key));
        EXPECT_EQ(STATUS_SUCCESS, ZwClose(child));
    }
    for (std::u16string_view name : {u"Zeta", u"alpha", u"Mid"})
        ASSERT_EQ(STATUS_SUCCESS, SetDword(key, name, 1));
    std::vector<std::u16string> keys, values;
    UCHAR buffer[256];
    ULONG needed;
    for (ULONG i = 0; ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof(buffer),
                                     &needed) == STATUS_SUCCESS;
         ++i) {
        const auto* info = reinterpret_cast<const KEY_BASIC_INFORMATION*>(buffer);
        keys.emplace_back(info->Name, info->NameLength / 2);
    }
    for (ULONG i = 0; ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof(buffer),
                                          &needed) == STATUS_SUCCESS;
         ++i) {
        const auto* info = reinterpret_cast<const KEY_VALUE_BASIC_INFORMATION*>(buffer);
        values.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(std::vector<std::u16string>({u"debug", u"Echo", u"mute", u"ZVPerf"}), keys);
    EXPECT_EQ(std::vector<std::u16string>({u"Zeta", u"alpha", u"Mid"}), values);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
}

TEST_F(ZwRegistryTest, HandlesAreCountedAndClosedOnce) {
    HANDLE a = Korvane();
    HANDLE b = nullptr;
    HANDLE c = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(&b, kKorvane, KEY_READ));
    ASSERT_EQ(STATUS_SUCCESS, Open(&c, u"\\Registry", KEY_READ));
    EXPECT_NE(a, b);
    EXPECT_EQ(3u, KpRegOpenKeyHandleCount());
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(b));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(b));
    UCHAR buffer[64];
    ULONG needed;
    EXPECT_EQ(STATUS_INVALID_HANDLE,
              ZwQueryKey(b, KeyBasicInformation, buffer, sizeof(buffer), &needed));
    EXPECT_EQ(STATUS_INVALID_HANDLE, SetDword(reinterpret_cast<HANDLE>(0x7777), u"x", 1));
    HANDLE bad = nullptr;
    EXPECT_EQ(STATUS_INVALID_HANDLE, Open(&bad, u"X", KEY_READ, reinterpret_cast<HANDLE>(0x7777)));
    EXPECT_EQ(2u, KpRegOpenKeyHandleCount());
    for (HANDLE h : {a, c}) EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
    EXPECT_EQ(0u, KpRegOpenKeyHandleCount());
}

TEST_F(ZwRegistryTest, MalformedRequestsAreRefused) {
    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;
    Name name(kKorvane);
    InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwOpenKey(&key, KEY_READ, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwOpenKey(nullptr, KEY_READ, &attributes));
    attributes.Length = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwOpenKey(&key, KEY_READ, &attributes));
    attributes.Length = sizeof(attributes);
    name.string.Length = 3;
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, ZwOpenKey(&key, KEY_READ, &attributes));
    attributes.ObjectName = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, ZwOpenKey(&key, KEY_READ, &attributes));
    Name software(u"\\Registry\\Machine\\Software");
    InitializeObjectAttributes(&attributes, software.get(), OBJ_CASE_INSENSITIVE, nullptr,
                               &attributes);
    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              ZwCreateKey(&key, KEY_READ, &attributes, 0, nullptr, 0, nullptr));
    InitializeObjectAttributes(&attributes, software.get(), OBJ_CASE_INSENSITIVE | OBJ_PERMANENT,
                               nullptr, nullptr);
    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              ZwCreateKey(&key, KEY_READ, &attributes, 0, nullptr, 0, nullptr));
    InitializeObjectAttributes(&attributes, software.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, ZwCreateKey(&key, KEY_READ, &attributes, 0, nullptr,
                                                REG_OPTION_CREATE_LINK, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              ZwCreateKey(&key, KEY_READ, &attributes, 0, nullptr, 0x100, nullptr));
    EXPECT_FALSE(kp::reg::KeyExists(u"\\Registry\\Machine\\Software"));
    EXPECT_EQ(STATUS_ACCESS_DENIED, Create(&key, u"\\Registry\\Elsewhere"));

    HANDLE korvane = Korvane();
    Name odd(u"ab");
    odd.string.Length = 1;
    ULONG v = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwSetValueKey(korvane, odd.get(), 0, REG_DWORD, &v, 4));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwSetValueKey(korvane, nullptr, 0, REG_DWORD, &v, 4));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              ZwSetValueKey(korvane, Name(u"x").get(), 0, REG_DWORD, nullptr, 4));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(korvane));
}

TEST_F(ZwRegistryTest, DeletedKeysStayDeletedForTheirHandles) {
    HANDLE key = Korvane();
    HANDLE child = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Create(&child, u"Child", KEY_ALL_ACCESS, key));
    HANDLE reader = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(&reader, u"child", KEY_READ, key));
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(key));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(child));
    UCHAR buffer[64];
    ULONG needed;
    EXPECT_EQ(STATUS_KEY_DELETED,
              ZwQueryKey(reader, KeyBasicInformation, buffer, sizeof(buffer), &needed));
    EXPECT_EQ(STATUS_KEY_DELETED, SetDword(child, u"x", 1));
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES,
              ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof(buffer), &needed));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(key));
    EXPECT_FALSE(kp::reg::KeyExists(kKorvane));
    for (HANDLE h : {key, child, reader}) EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
}

TEST_F(ZwRegistryTest, VolatileKeysTakeOnlyVolatileChildren) {
    HANDLE key = Korvane();
    HANDLE fleeting = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              Create(&fleeting, u"Fleeting", KEY_ALL_ACCESS, key, REG_OPTION_VOLATILE));
    HANDLE child = nullptr;
    EXPECT_EQ(STATUS_CHILD_MUST_BE_VOLATILE, Create(&child, u"Stable", KEY_ALL_ACCESS, fleeting));
    for (HANDLE h : {key, fleeting}) EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
}

TEST_F(ZwRegistryTest, LastWriteTimeComesFromTheMachineClock) {
    const KpClockMode saved = KpClockGetMode();
    KpClockSetMode(KpClockMode::Manual);
    const LONGLONG start = KpClockNow();
    HANDLE key = Korvane();
    KpClockAdvance(KpMs(1500));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key, u"v", 1));
    KEY_BASIC_INFORMATION info[4];
    ULONG needed;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyBasicInformation, info, sizeof(info), &needed));
    EXPECT_EQ(start + KpMs(1500), info[0].LastWriteTime.QuadPart);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    KpClockSetMode(saved);
}

TEST_F(ZwRegistryTest, FlushWritesTheMachineFile) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("kp_flush_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".reg");
    Machine().SetBackingFile(file);
    HANDLE key = Korvane(KEY_READ);
    EXPECT_EQ(STATUS_SUCCESS, ZwFlushKey(key));
    Machine().SetBackingFile(std::filesystem::path("/nonexistent/folder/registry.reg"));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, ZwFlushKey(key));
    Machine().SetBackingFile({});
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    kp::reg::Store loaded;
    std::string error;
    ASSERT_TRUE(loaded.LoadFile(file, &error)) << error;
    kp::reg::KeyRef korvane;
    EXPECT_EQ(STATUS_SUCCESS, loaded.OpenKey(nullptr, kKorvane, &korvane));
    std::filesystem::remove(file);
}

TEST_F(ZwRegistryTest, HostKeyHandlesAndPathHelpers) {
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(nullptr, KpRegOpenKeyHandle(kKorvane, KEY_READ, false, &status));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, status);
    HANDLE key = KpRegOpenKeyHandle(kKorvane + u"\\Enum\\USB", KEY_READ, true, &status);
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(STATUS_SUCCESS, SetDword(key, u"x", 1));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));

    using namespace kp::reg;
    const std::u16string device = kKorvane + u"\\Enum\\USB\\VID_1234";
    ASSERT_EQ(STATUS_SUCCESS, kp::reg::SetDword(device, u"Dword", 7));
    ASSERT_EQ(STATUS_SUCCESS, SetQword(device, u"Qword", 0x1122334455667788ull));
    ASSERT_EQ(STATUS_SUCCESS, SetString(device, u"Service", u"Echowell"));
    ASSERT_EQ(STATUS_SUCCESS,
              SetString(device, u"ImagePath", u"%SystemRoot%\\x.sys", REG_EXPAND_SZ));
    ASSERT_EQ(STATUS_SUCCESS, SetMultiString(device, u"UpperFilters", {u"Echowell", u"Mutewell"}));
    ASSERT_EQ(STATUS_SUCCESS, SetBinary(device, u"Blob", {1, 2, 3, 4}));
    EXPECT_EQ(7u, GetDword(device, u"dword"));
    EXPECT_EQ(0x1122334455667788ull, GetQword(device, u"QWORD"));
    EXPECT_EQ(std::nullopt, GetDword(device, u"Blob"));  // 4 bytes, but not REG_DWORD
    EXPECT_EQ(std::nullopt, GetDword(device, u"Qword"));
    EXPECT_EQ(u"Echowell", GetString(device, u"service"));
    EXPECT_EQ(u"%SystemRoot%\\x.sys", GetString(device, u"ImagePath"));
    EXPECT_EQ(std::nullopt, GetString(device, u"Dword"));
    EXPECT_EQ(std::vector<std::u16string>({u"Echowell", u"Mutewell"}),
              GetMultiString(device, u"UpperFilters"));
    EXPECT_EQ(std::vector<std::u16string>(
                  {u"Dword", u"Qword", u"Service", u"ImagePath", u"UpperFilters", u"Blob"}),
              ValueNames(device));
    EXPECT_EQ(std::vector<std::u16string>({u"VID_1234"}), SubKeyNames(kKorvane + u"\\Enum\\usb"));
    EXPECT_TRUE(SubKeyNames(kKorvane + u"\\Missing").empty());
    EXPECT_EQ(STATUS_SUCCESS, DeleteValue(device, u"Blob"));
    EXPECT_EQ(std::nullopt, GetValue(device, u"Blob"));
    EXPECT_EQ(STATUS_SUCCESS, DeleteTree(kKorvane + u"\\Enum"));
    EXPECT_FALSE(KeyExists(device));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, DeleteTree(kKorvane + u"\\Enum"));
}

// Threads opening, writing, reading and closing keys at once: every call sees a
// whole key and every handle is given back (run under ThreadSanitizer in the tsan build).
TEST_F(ZwRegistryTest, ConcurrentCallersOnSharedKeys) {
    ASSERT_EQ(STATUS_SUCCESS, kp::reg::CreateKeyPath(kKorvane));
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([this, t] {
            const std::u16string own = u"T" + std::u16string(1, static_cast<char16_t>(u'0' + t));
            for (int i = 0; i < 150; ++i) {
                HANDLE key = nullptr;
                ASSERT_EQ(STATUS_SUCCESS, Open(&key, kKorvane, KEY_ALL_ACCESS));
                HANDLE child = nullptr;
                ASSERT_EQ(STATUS_SUCCESS, Create(&child, own, KEY_ALL_ACCESS, key));
                ASSERT_EQ(STATUS_SUCCESS, SetDword(child, u"N", static_cast<ULONG>(i)));
                ASSERT_EQ(STATUS_SUCCESS, SetDword(key, u"Shared", static_cast<ULONG>(i)));
                UCHAR buffer[64];
                ULONG needed;
                ASSERT_EQ(STATUS_SUCCESS,
                          ZwQueryValueKey(key, Name(u"Shared").get(), KeyValuePartialInformation,
                                          buffer, 64, &needed));
                const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
                EXPECT_EQ(4u, info->DataLength);
                for (ULONG k = 0; ZwEnumerateKey(key, k, KeyBasicInformation, buffer, 64,
                                                 &needed) == STATUS_SUCCESS;
                     ++k) {
                }
                if (i % 10 == 9) {
                    ASSERT_EQ(STATUS_SUCCESS, ZwDeleteKey(child));
                }
                ASSERT_EQ(STATUS_SUCCESS, ZwClose(child));
                ASSERT_EQ(STATUS_SUCCESS, ZwClose(key));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(
        kp::reg::SubKeyNames(kKorvane).empty());  // each thread's last round deleted its key
}

// Registry calls are PASSIVE_LEVEL only.
TEST_F(ZwRegistryTest, RegistryCallsAbovePassiveLevelAreABugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            HANDLE key;
            Open(&key, kKorvane);
        },
        "ZwOpenKey");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(u"\\Registry"));
        },
        "RtlCheckRegistryKey");
}

// ---------------------------------------------------------------------------
// RtlQueryRegistryValues: direct REG_DWORD reads only, type-checked.
// ---------------------------------------------------------------------------
class RtlQueryTest : public ZwRegistryTest {
protected:
    void SetUp() override {
        ZwRegistryTest::SetUp();
        key = Korvane();
        ASSERT_EQ(STATUS_SUCCESS, SetDword(key, u"Seven", 7));
        const std::vector<UCHAR> sz = kp::reg::StringBytes(u"abcdefgh");
        ASSERT_EQ(STATUS_SUCCESS,
                  ZwSetValueKey(key, Name(u"Text").get(), 0, REG_SZ, const_cast<UCHAR*>(sz.data()),
                                static_cast<ULONG>(sz.size())));
        UCHAR eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        ASSERT_EQ(STATUS_SUCCESS,
                  ZwSetValueKey(key, Name(u"Binary8").get(), 0, REG_BINARY, eight, 8));
        ASSERT_EQ(STATUS_SUCCESS,
                  ZwSetValueKey(key, Name(u"Dword8").get(), 0, REG_DWORD, eight, 8));
        ASSERT_EQ(STATUS_SUCCESS,
                  ZwSetValueKey(key, Name(u"Dword2").get(), 0, REG_DWORD, eight, 2));
        ASSERT_EQ(STATUS_SUCCESS,
                  ZwSetValueKey(key, Name(u"Binary4").get(), 0, REG_BINARY, eight, 4));
    }
    void TearDown() override {
        EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
        ZwRegistryTest::TearDown();
    }

    // One direct entry into a destination guarded on both sides.
    NTSTATUS ReadOne(const char16_t* name, ULONG* value, HANDLE from = nullptr) {
        struct {
            ULONG before = 0xC0FFEE01;
            ULONG value;
            ULONG after = 0xC0FFEE02;
        } guarded;
        guarded.value = *value;
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
        table[0].Name = const_cast<PWSTR>(name);
        table[0].EntryContext = &guarded.value;
        table[0].DefaultType = REG_DWORD;
        table[0].DefaultData = &guarded.value;
        table[0].DefaultLength = sizeof(ULONG);
        const NTSTATUS status = RtlQueryRegistryValues(
            RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(from ? from : key), table, nullptr, nullptr);
        EXPECT_EQ(0xC0FFEE01u, guarded.before);
        EXPECT_EQ(0xC0FFEE02u, guarded.after);
        *value = guarded.value;
        return status;
    }

    HANDLE key = nullptr;
};

TEST_F(RtlQueryTest, OnlyAFourByteDwordIsRead) {
    ULONG value = 99;
    EXPECT_EQ(STATUS_SUCCESS, ReadOne(u"seven", &value));
    EXPECT_EQ(7u, value);
    for (const char16_t* name :
         {u"Text", u"Binary8", u"Dword8", u"Dword2", u"Binary4", u"Missing"}) {
        SCOPED_TRACE(kp::reg::Utf16ToUtf8(name));
        value = 99;
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ReadOne(name, &value));
        EXPECT_EQ(99u, value);  // untouched; the default is not applied
    }
    HANDLE setOnly = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(&setOnly, kKorvane, KEY_SET_VALUE));
    EXPECT_EQ(STATUS_SUCCESS, ReadOne(u"Seven", &value, setOnly));
    EXPECT_EQ(7u, value);
    value = 99;
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(setOnly));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ReadOne(u"Seven", &value, reinterpret_cast<HANDLE>(0x7777)));
    EXPECT_EQ(99u, value);
}

TEST_F(RtlQueryTest, TablesStopAtTheFirstMissingValue) {
    ULONG first = 0, second = 0, third = 0;
    RTL_QUERY_REGISTRY_TABLE table[4] = {};
    const char16_t* names[] = {u"Seven", u"Missing", u"Seven"};
    ULONG* destinations[] = {&first, &second, &third};
    for (int i = 0; i < 3; ++i) {
        table[i].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
        table[i].Name = const_cast<PWSTR>(names[i]);
        table[i].EntryContext = destinations[i];
        table[i].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
    }
    EXPECT_EQ(
        STATUS_OBJECT_NAME_NOT_FOUND,
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKorvane.c_str(), table, nullptr, nullptr));
    EXPECT_EQ(7u, first);
    EXPECT_EQ(0u, second);
    EXPECT_EQ(0u, third);
    table[1].Name = const_cast<PWSTR>(u"Seven");
    EXPECT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKorvane.c_str(), table,
                                                     nullptr, nullptr));
    EXPECT_EQ(7u, third);
}

NTSTATUS IgnoreValue(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) {
    return STATUS_SUCCESS;
}

TEST_F(RtlQueryTest, AnythingButDirectDwordEntriesIsRefusedBeforeReading) {
    ULONG value = 5;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(u"Seven");
    table[0].EntryContext = &value;
    auto query = [&](ULONG relativeTo = RTL_REGISTRY_HANDLE, PCWSTR path = nullptr,
                     PVOID environment = nullptr) {
        return RtlQueryRegistryValues(relativeTo, path ? path : static_cast<PCWSTR>(key), table,
                                      nullptr, environment);
    };
    table[1].QueryRoutine = &IgnoreValue;
    table[1].Name = const_cast<PWSTR>(u"Seven");
    EXPECT_EQ(STATUS_NOT_SUPPORTED, query());
    table[1].QueryRoutine = nullptr;
    table[1].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    EXPECT_EQ(STATUS_NOT_SUPPORTED, query());
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[1].EntryContext = &value;
    table[1].DefaultType = REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    EXPECT_EQ(STATUS_NOT_SUPPORTED, query());
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].EntryContext = nullptr;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, query());
    table[1] = {};
    EXPECT_EQ(STATUS_NOT_SUPPORTED, query(RTL_REGISTRY_HANDLE, nullptr, &value));
    EXPECT_EQ(STATUS_NOT_SUPPORTED,
              query(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kKorvane.c_str()));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(5u, value);
    EXPECT_EQ(STATUS_SUCCESS, query());
    EXPECT_EQ(7u, value);
}

TEST_F(RtlQueryTest, PathsRelativeToTheWellKnownRoots) {
    ASSERT_EQ(
        STATUS_SUCCESS,
        kp::reg::SetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Echowell",
                          u"Start", 3));
    ULONG start = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(u"Start");
    table[0].EntryContext = &start;
    EXPECT_EQ(STATUS_SUCCESS,
              RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Echowell", table, nullptr, nullptr));
    EXPECT_EQ(3u, start);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Mutewell", table, nullptr, nullptr));
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD,
              RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"Registry\\Machine", table, nullptr,
                                     nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              RtlQueryRegistryValues(RTL_REGISTRY_MAXIMUM, u"x", table, nullptr, nullptr));
}

TEST_F(RtlQueryTest, WriteDeleteCreateAndCheck) {
    ULONG value = 42;
    EXPECT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kKorvane.c_str(),
                                                    u"Answer", REG_DWORD, &value, 4));
    EXPECT_EQ(42u, kp::reg::GetDword(kKorvane, u"answer"));
    EXPECT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key),
                                                    u"ViaHandle", REG_DWORD, &value, 4));
    EXPECT_EQ(42u, kp::reg::GetDword(kKorvane, u"ViaHandle"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, (kKorvane + u"\\New").c_str(), u"x",
                                    REG_DWORD, &value, 4));
    EXPECT_EQ(STATUS_SUCCESS,
              RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kKorvane.c_str(), u"Answer"));
    EXPECT_EQ(std::nullopt, kp::reg::GetDword(kKorvane, u"Answer"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kKorvane.c_str(), u"Answer"));

    const std::u16string deep = kKorvane + u"\\A\\B\\C";
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(deep.c_str())));
    EXPECT_EQ(STATUS_SUCCESS,
              RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(deep.c_str())));
    EXPECT_EQ(STATUS_SUCCESS,
              RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(deep.c_str())));
    EXPECT_EQ(STATUS_SUCCESS, RtlCheckRegistryKey(RTL_REGISTRY_HANDLE, static_cast<PWSTR>(key)));
    EXPECT_EQ(STATUS_INVALID_HANDLE,
              RtlCheckRegistryKey(RTL_REGISTRY_HANDLE, reinterpret_cast<PWSTR>(0x7777)));
}

}  // namespace
