// The registry tree: roots, names, case, enumeration order, deletion, volatility,
// key information and concurrent use.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "kp/registry.h"

namespace kp::reg {
namespace {

const std::u16string kSoftware = u"\\Registry\\Machine\\Software";

class StoreTest : public ::testing::Test {
protected:
    KeyRef Create(std::u16string_view path, bool intermediate = true) {
        CreateKeyOptions options;
        options.CreateIntermediate = intermediate;
        KeyRef key;
        EXPECT_EQ(STATUS_SUCCESS, store.CreateKey(nullptr, path, options, &key))
            << Utf16ToUtf8(path);
        return key;
    }
    NTSTATUS OpenStatus(std::u16string_view path) {
        KeyRef key;
        return store.OpenKey(nullptr, path, &key);
    }
    std::u16string PathOf(const KeyRef& key) {
        std::u16string path;
        EXPECT_EQ(STATUS_SUCCESS, store.KeyPath(key, &path));
        return path;
    }
    // Names in enumeration order, checking that the walk ends with STATUS_NO_MORE_ENTRIES.
    template <typename Record, typename Enumerate>
    std::vector<std::u16string> Names(Enumerate enumerate) {
        std::vector<std::u16string> names;
        Record record;
        NTSTATUS status;
        for (ULONG i = 0; (status = enumerate(i, &record)) == STATUS_SUCCESS; ++i)
            names.push_back(record.Name);
        EXPECT_EQ(STATUS_NO_MORE_ENTRIES, status);
        return names;
    }
    std::vector<std::u16string> SubKeys(const KeyRef& key) {
        return Names<KeyInfo>(
            [&](ULONG i, KeyInfo* info) { return store.EnumerateKey(key, i, info); });
    }
    std::vector<std::u16string> Values(const KeyRef& key) {
        return Names<NamedValue>(
            [&](ULONG i, NamedValue* value) { return store.EnumerateValue(key, i, value); });
    }
    void SetDword(const KeyRef& key, std::u16string_view name, ULONG value) {
        ASSERT_EQ(STATUS_SUCCESS, store.SetValue(key, name, REG_DWORD, &value, sizeof(value)));
    }

    Store store;
};

TEST_F(StoreTest, RootsAlwaysExistAndCannotBeDeletedOrExtendedAtTheTop) {
    for (std::u16string_view root :
         {u"\\Registry", u"\\REGISTRY", u"\\Registry\\Machine", u"\\registry\\user"})
        EXPECT_EQ(STATUS_SUCCESS, OpenStatus(root)) << Utf16ToUtf8(root);
    KeyRef machine;
    ASSERT_EQ(STATUS_SUCCESS, store.OpenKey(nullptr, u"\\registry\\MACHINE", &machine));
    EXPECT_EQ(u"\\Registry\\Machine", PathOf(machine));
    EXPECT_EQ(STATUS_CANNOT_DELETE, store.DeleteKey(machine));
    EXPECT_EQ(STATUS_CANNOT_DELETE, store.DeleteTree(store.Root()));
    EXPECT_EQ(std::vector<std::u16string>({u"Machine", u"User"}), SubKeys(store.Root()));

    KeyRef key;
    EXPECT_EQ(STATUS_ACCESS_DENIED, store.CreateKey(nullptr, u"\\Registry\\Other", {}, &key));
    ULONG one = 1;
    EXPECT_EQ(STATUS_ACCESS_DENIED, store.SetValue(store.Root(), u"x", REG_DWORD, &one, 4));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenStatus(u"\\Device\\Registry"));
}

TEST_F(StoreTest, NamesCompareWithoutCaseAndKeepTheirOwn) {
    const KeyRef key = Create(u"\\Registry\\Machine\\Software\\KorVane\\Ключ\\Ärger");
    KeyRef again;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS,
              store.CreateKey(nullptr, u"\\REGISTRY\\machine\\SOFTWARE\\korvane\\КЛЮЧ\\äRGER", {},
                              &again, &disposition));
    EXPECT_EQ(ULONG{REG_OPENED_EXISTING_KEY}, disposition);
    EXPECT_EQ(key, again);
    EXPECT_EQ(u"\\Registry\\Machine\\Software\\KorVane\\Ключ\\Ärger", PathOf(again));

    SetDword(key, u"MixedCase", 1);
    SetDword(key, u"MIXEDCASE", 2);  // the same value: replaced, first spelling kept
    ValueData value;
    ASSERT_EQ(STATUS_SUCCESS, store.QueryValue(key, u"mixedcase", &value));
    EXPECT_EQ(ULONG{REG_DWORD}, value.Type);
    EXPECT_EQ(std::vector<uint8_t>({2, 0, 0, 0}), value.Data);
    EXPECT_EQ(std::vector<std::u16string>({u"MixedCase"}), Values(key));
}

TEST_F(StoreTest, InvalidPathsAreRefusedWithTheirOwnStatus) {
    const KeyRef software = Create(kSoftware);
    struct Case {
        const KeyRef* base;
        std::u16string path;
        NTSTATUS status;
    } cases[] = {
        {nullptr, kSoftware + u"\\", STATUS_OBJECT_NAME_INVALID},
        {nullptr, u"\\Registry\\\\Machine", STATUS_OBJECT_NAME_INVALID},
        {nullptr, u"\\", STATUS_OBJECT_NAME_INVALID},
        {nullptr, u"", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {nullptr, u"Registry\\Machine", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {&software, u"\\Korvane", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {&software, u"Korvane\\", STATUS_OBJECT_NAME_INVALID},
        {&software, u"A\\\\B", STATUS_OBJECT_NAME_INVALID},
        {&software, std::u16string(256, u'k'), STATUS_OBJECT_NAME_INVALID},
        {&software, std::u16string(u"nul\0in", 6), STATUS_OBJECT_NAME_INVALID},
        {&software, u"Missing\\Child", STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.path));
        KeyRef key;
        const KeyRef base = c.base ? *c.base : nullptr;
        EXPECT_EQ(c.status, store.CreateKey(base, c.path, {}, &key));
        EXPECT_EQ(nullptr, key);
    }
    KeyRef longest;
    EXPECT_EQ(STATUS_SUCCESS, store.CreateKey(software, std::u16string(255, u'k'), {}, &longest));
    KeyRef self;
    ASSERT_EQ(STATUS_SUCCESS, store.OpenKey(software, u"", &self));
    EXPECT_EQ(software, self);
}

TEST_F(StoreTest, CreateNeedsTheParentUnlessAskedToCreateIt) {
    KeyRef key;
    const std::u16string path = kSoftware + u"\\A\\B\\C";
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, store.CreateKey(nullptr, path, {}, &key));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenStatus(kSoftware));  // nothing was made
    CreateKeyOptions options;
    options.CreateIntermediate = true;
    options.Class = u"Cls";
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, store.CreateKey(nullptr, path, options, &key, &disposition));
    EXPECT_EQ(ULONG{REG_CREATED_NEW_KEY}, disposition);
    KeyInfo info;
    ASSERT_EQ(STATUS_SUCCESS, store.QueryKey(key, &info));
    EXPECT_EQ(u"Cls", info.Class);  // the class goes to the last level only
    KeyRef parent;
    ASSERT_EQ(STATUS_SUCCESS, store.OpenKey(nullptr, kSoftware + u"\\A\\B", &parent));
    ASSERT_EQ(STATUS_SUCCESS, store.QueryKey(parent, &info));
    EXPECT_EQ(u"", info.Class);
}

TEST_F(StoreTest, SubkeysEnumerateByUpperCasedNameAndValuesInTheOrderFirstSet) {
    const KeyRef key = Create(kSoftware + u"\\Order");
    for (std::u16string_view name : {u"beta", u"Alpha", u"_under", u"gamma", u"ALPHA2", u"Zeta"}) {
        KeyRef child;
        ASSERT_EQ(STATUS_SUCCESS, store.CreateKey(key, name, {}, &child));
    }
    // '_' (0x5F) sorts after the upper-cased letters.
    EXPECT_EQ(
        std::vector<std::u16string>({u"Alpha", u"ALPHA2", u"beta", u"gamma", u"Zeta", u"_under"}),
        SubKeys(key));

    for (std::u16string_view name : {u"z", u"a", u"", u"m"}) SetDword(key, name, 0);
    SetDword(key, u"A", 5);  // replacing keeps the place
    EXPECT_EQ(std::vector<std::u16string>({u"z", u"a", u"", u"m"}), Values(key));
    EXPECT_EQ(STATUS_SUCCESS, store.DeleteValue(key, u"A"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, store.DeleteValue(key, u"a"));
    EXPECT_EQ(std::vector<std::u16string>({u"z", u"", u"m"}), Values(key));
    SetDword(key, u"a", 1);
    EXPECT_EQ(std::vector<std::u16string>({u"z", u"", u"m", u"a"}), Values(key));
}

TEST_F(StoreTest, DeletedKeysAnswerKeyDeletedToEveryHolder) {
    const KeyRef parent = Create(kSoftware + u"\\Parent");
    const KeyRef child = Create(kSoftware + u"\\Parent\\Child");
    const KeyRef grandchild = Create(kSoftware + u"\\Parent\\Child\\Grandchild");
    EXPECT_EQ(STATUS_CANNOT_DELETE, store.DeleteKey(child));
    EXPECT_EQ(STATUS_SUCCESS, store.DeleteKey(grandchild));
    EXPECT_TRUE(store.IsDeleted(grandchild));
    ULONG v = 1;
    EXPECT_EQ(STATUS_KEY_DELETED, store.SetValue(grandchild, u"v", REG_DWORD, &v, 4));
    KeyRef key;
    EXPECT_EQ(STATUS_KEY_DELETED, store.CreateKey(grandchild, u"x", {}, &key));
    EXPECT_EQ(STATUS_KEY_DELETED, store.DeleteKey(grandchild));

    Create(kSoftware + u"\\Parent\\Child\\Again");
    SetDword(child, u"v", 1);
    EXPECT_EQ(STATUS_SUCCESS, store.DeleteTree(parent));
    for (const KeyRef& gone : {parent, child}) {
        KeyInfo info;
        EXPECT_EQ(STATUS_KEY_DELETED, store.QueryKey(gone, &info));
    }
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenStatus(kSoftware + u"\\Parent"));
    EXPECT_EQ(STATUS_INVALID_HANDLE, store.DeleteKey(nullptr));
    Store other;
    EXPECT_EQ(STATUS_INVALID_HANDLE, other.DeleteKey(Create(kSoftware + u"\\Mine")));
}

TEST_F(StoreTest, VolatileKeysTakeOnlyVolatileChildren) {
    CreateKeyOptions options;
    options.CreateIntermediate = true;
    options.Volatile = true;
    KeyRef key;
    ASSERT_EQ(STATUS_SUCCESS, store.CreateKey(nullptr, kSoftware + u"\\Volatile", options, &key));
    KeyRef child;
    EXPECT_EQ(STATUS_CHILD_MUST_BE_VOLATILE, store.CreateKey(key, u"Stable", {}, &child));
    options.CreateIntermediate = false;
    EXPECT_EQ(STATUS_SUCCESS, store.CreateKey(key, u"Fleeting", options, &child));
    KeyInfo info;
    ASSERT_EQ(STATUS_SUCCESS, store.QueryKey(child, &info));
    EXPECT_TRUE(info.Volatile);
}

LONGLONG g_fakeTime = 1000;
LONGLONG FakeClock() {
    return g_fakeTime;
}

TEST_F(StoreTest, KeyInformationCountsInBytesAndTracksLastWrite) {
    store.SetClock(&FakeClock);
    g_fakeTime = 1000;
    const KeyRef key = Create(kSoftware + u"\\Info");
    g_fakeTime = 2000;
    CreateKeyOptions options;
    options.Class = u"ClassText";
    KeyRef child;
    ASSERT_EQ(STATUS_SUCCESS, store.CreateKey(key, u"Sub", options, &child));
    ASSERT_EQ(STATUS_SUCCESS, store.CreateKey(key, u"LongerName", {}, &child));
    KeyInfo info;
    ASSERT_EQ(STATUS_SUCCESS, store.QueryKey(key, &info));
    EXPECT_EQ(2000, info.LastWriteTime);  // creating a subkey writes the parent
    g_fakeTime = 3000;
    const uint8_t blob[10] = {};
    ASSERT_EQ(STATUS_SUCCESS, store.SetValue(key, u"Blob", REG_BINARY, blob, sizeof(blob)));
    SetDword(key, u"AVeryLongValueName", 7);
    ASSERT_EQ(STATUS_SUCCESS, store.QueryKey(key, &info));
    EXPECT_EQ(u"Info", info.Name);
    EXPECT_EQ(3000, info.LastWriteTime);
    EXPECT_EQ(2u, info.SubKeys);
    EXPECT_EQ(20u, info.MaxNameLen);  // "LongerName"
    EXPECT_EQ(18u, info.MaxClassLen);
    EXPECT_EQ(2u, info.Values);
    EXPECT_EQ(36u, info.MaxValueNameLen);
    EXPECT_EQ(10u, info.MaxValueDataLen);
    store.SetClock(nullptr);
}

TEST_F(StoreTest, ValuesKeepAnyTypeAndRawBytes) {
    const KeyRef key = Create(kSoftware + u"\\Raw");
    std::vector<uint8_t> big(100000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(STATUS_SUCCESS, store.SetValue(key, u"Big", 0x12345678, big.data(), big.size()));
    ASSERT_EQ(STATUS_SUCCESS, store.SetValue(key, u"Empty", REG_SZ, nullptr, 0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, store.SetValue(key, u"Bad", REG_BINARY, nullptr, 3));
    EXPECT_EQ(
        STATUS_INVALID_PARAMETER,
        store.SetValue(key, std::u16string(kMaxValueNameChars + 1, u'v'), REG_BINARY, nullptr, 0));
    ValueData value;
    ASSERT_EQ(STATUS_SUCCESS, store.QueryValue(key, u"big", &value));
    EXPECT_EQ(0x12345678u, value.Type);
    EXPECT_EQ(big, value.Data);
    ASSERT_EQ(STATUS_SUCCESS, store.QueryValue(key, u"EMPTY", &value));
    EXPECT_EQ(ULONG{REG_SZ}, value.Type);
    EXPECT_TRUE(value.Data.empty());
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, store.QueryValue(key, u"Missing", &value));
}

TEST_F(StoreTest, ClearLeavesTheRootsAndDeletesEverythingHeld) {
    const KeyRef key = Create(kSoftware + u"\\Gone");
    KeyRef machine;
    ASSERT_EQ(STATUS_SUCCESS, store.OpenKey(nullptr, kMachinePath, &machine));
    SetDword(machine, u"OnRoot", 1);
    store.Clear();
    EXPECT_TRUE(store.IsDeleted(key));
    EXPECT_FALSE(store.IsDeleted(machine));
    EXPECT_TRUE(Values(machine).empty());
    EXPECT_TRUE(SubKeys(machine).empty());
    EXPECT_EQ(STATUS_SUCCESS, OpenStatus(kUsersPath));
}

TEST(UpcaseTest, MapsLettersOneToOneAndLeavesTheRest) {
    EXPECT_EQ(u"ABC_XYZ09", Upcase(u"abc_xyz09"));
    EXPECT_EQ(u"ÀÉÖØÞŸ÷", Upcase(u"àéöøþÿ÷"));
    EXPECT_EQ(u"ĀĒŁŇŹŽ", Upcase(u"āēłňźž"));
    EXPECT_EQ(u"ΑΒΣΣΩ", Upcase(u"αβσςω"));
    EXPECT_EQ(u"ПРИВЕТЁЂ", Upcase(u"приветёђ"));
    EXPECT_EQ(u"ＡＺ", Upcase(u"ａｚ"));
    EXPECT_EQ(u"中文ı", Upcase(u"中文ı"));
    EXPECT_TRUE(NamesEqual(u"Software", u"SOFTWARE"));
    EXPECT_FALSE(NamesEqual(u"Software", u"Softwar"));
}

// Many writers and readers on one store: the tree stays whole and nothing is lost
// (run under ThreadSanitizer in the tsan build).
TEST_F(StoreTest, ConcurrentWritersAndReadersLoseNothing) {
    const KeyRef shared = Create(kSoftware + u"\\Shared");
    constexpr int kThreads = 8;
    constexpr int kPerThread = 200;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            KeyInfo info;
            (void)store.QueryKey(shared, &info);
            NamedValue value;
            for (ULONG i = 0; store.EnumerateValue(shared, i, &value) == STATUS_SUCCESS; ++i) {
            }
            for (ULONG i = 0; store.EnumerateKey(shared, i, &info) == STATUS_SUCCESS; ++i) {
            }
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            const std::u16string own = u"T" + std::u16string(1, static_cast<char16_t>(u'A' + t));
            CreateKeyOptions options;
            options.CreateIntermediate = true;
            for (int i = 0; i < kPerThread; ++i) {
                KeyRef key;
                const std::u16string leaf =
                    own + u"\\K" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
                ASSERT_EQ(STATUS_SUCCESS, store.CreateKey(shared, leaf, options, &key));
                const ULONG value = static_cast<ULONG>(i);
                ASSERT_EQ(STATUS_SUCCESS, store.SetValue(key, u"N", REG_DWORD, &value, 4));
                const std::u16string name =
                    own + u"_" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
                ASSERT_EQ(STATUS_SUCCESS, store.SetValue(shared, name, REG_DWORD, &value, 4));
                if (i % 3 == 0) (void)store.DeleteValue(shared, name);
            }
        });
    }
    for (std::thread& w : writers) w.join();
    stop = true;
    reader.join();
    EXPECT_EQ(static_cast<size_t>(kThreads), SubKeys(shared).size());
    for (int t = 0; t < kThreads; ++t) {
        KeyRef own;
        ASSERT_EQ(
            STATUS_SUCCESS,
            store.OpenKey(shared, u"T" + std::u16string(1, static_cast<char16_t>(u'A' + t)), &own));
        EXPECT_EQ(10u, SubKeys(own).size());
        KeyRef last;
        ASSERT_EQ(STATUS_SUCCESS, store.OpenKey(own, u"K9", &last));
        ValueData value;
        ASSERT_EQ(STATUS_SUCCESS, store.QueryValue(last, u"N", &value));
        EXPECT_EQ(std::vector<uint8_t>({kPerThread - 1, 0, 0, 0}), value.Data);
    }
}

}  // namespace
}  // namespace kp::reg
