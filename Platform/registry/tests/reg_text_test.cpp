// The .reg text form: exact round trips of every value form, what import accepts
// and refuses, and the machine's registry file.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "kp/registry.h"

namespace kp::reg {
namespace {

// Test texts are written with "\n"; the format's lines end in CR LF.
std::u16string Crlf(std::u16string_view text) {
    std::u16string out;
    for (char16_t c : text) {
        if (c == u'\n') out += u'\r';
        out += c;
    }
    return out;
}

std::u16string Export(const Store& store, const ExportOptions& options = {}) {
    std::u16string text;
    std::string error;
    EXPECT_TRUE(store.ExportText(&text, &error, options)) << error;
    return text;
}

void Import(Store& store, std::u16string_view text) {
    std::string error;
    ASSERT_TRUE(store.ImportText(text, &error)) << error;
}

ValueData Query(const Store& store, std::u16string_view path, std::u16string_view name) {
    KeyRef key;
    ValueData value;
    EXPECT_EQ(STATUS_SUCCESS, store.OpenKey(nullptr, path, &key)) << Utf16ToUtf8(path);
    if (key) {
        EXPECT_EQ(STATUS_SUCCESS, store.QueryValue(key, name, &value)) << Utf16ToUtf8(name);
    }
    return value;
}

KeyRef CreatePath(Store& store, std::u16string_view path) {
    CreateKeyOptions options;
    options.CreateIntermediate = true;
    KeyRef key;
    EXPECT_EQ(STATUS_SUCCESS, store.CreateKey(nullptr, path, options, &key)) << Utf16ToUtf8(path);
    return key;
}

std::vector<uint8_t> Units(std::u16string_view text) {
    std::vector<uint8_t> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

// Every value form the writer has, in the layout it writes.
const std::u16string kCanonical = Crlf(
    uR"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE]
"RootValue"=dword:00000001

[HKEY_LOCAL_MACHINE\Software]

[HKEY_LOCAL_MACHINE\Software\Korvane]
@="default \"quoted\" C:\\path\\"
"Text"="Привет, 世界 😀"
"Empty"=""
"@"=dword:0000002a
"Wide name Ключ"=dword:ffffffff
"Blob"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\
  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\
  2f,30,31
"Expand"=hex(2):25,00,57,00,69,00,6e,00,64,00,69,00,72,00,25,00,00,00
"Multi"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00
"Quad"=hex(b):01,02,03,04,05,06,07,08
"None"=hex(0):
"NoneData"=hex(0):ff
"Unterminated"=hex(1):41,00
"Line break"=hex(1):41,00,0a,00,00,00
"Inner nul"=hex(1):41,00,00,00,42,00,00,00
"LongDword"=hex(4):01,00,00,00,00,00,00,00
"Odd type"=hex(12345678):aa
"EmptyBinary"=hex:

[HKEY_LOCAL_MACHINE\Software\Korvane\Sub]key]
"x"="y"

[HKEY_LOCAL_MACHINE\Software\Korvane\Ünï cödé]

[HKEY_USERS\.DEFAULT]
"Color"="blue"

)");

TEST(RegTextTest, EveryValueFormRoundTripsExactly) {
    Store store;
    Import(store, kCanonical);
    EXPECT_EQ(Utf16ToUtf8(kCanonical), Utf16ToUtf8(Export(store)));

    const std::u16string korvane = u"\\Registry\\Machine\\Software\\Korvane";
    const ValueData def = Query(store, korvane, u"");
    EXPECT_EQ(ULONG{REG_SZ}, def.Type);
    EXPECT_EQ(StringBytes(u"default \"quoted\" C:\\path\\"), def.Data);
    EXPECT_EQ(StringBytes(u"Привет, 世界 😀"), Query(store, korvane, u"text").Data);
    EXPECT_EQ(StringBytes(u""), Query(store, korvane, u"Empty").Data);
    EXPECT_EQ(std::vector<uint8_t>({42, 0, 0, 0}), Query(store, korvane, u"@").Data);
    EXPECT_EQ(std::vector<uint8_t>(4, 0xFF), Query(store, korvane, u"WIDE NAME КЛЮЧ").Data);
    const ValueData blob = Query(store, korvane, u"Blob");
    EXPECT_EQ(ULONG{REG_BINARY}, blob.Type);
    ASSERT_EQ(50u, blob.Data.size());
    for (size_t i = 0; i < blob.Data.size(); ++i) EXPECT_EQ(i, blob.Data[i]);
    const ValueData expand = Query(store, korvane, u"Expand");
    EXPECT_EQ(ULONG{REG_EXPAND_SZ}, expand.Type);
    EXPECT_EQ(StringBytes(u"%Windir%"), expand.Data);
    const ValueData multi = Query(store, korvane, u"Multi");
    EXPECT_EQ(ULONG{REG_MULTI_SZ}, multi.Type);
    EXPECT_EQ(std::vector<std::u16string>({u"a", u"bc"}), MultiStringFromBytes(multi.Data));
    const ValueData quad = Query(store, korvane, u"Quad");
    EXPECT_EQ(ULONG{REG_QWORD}, quad.Type);
    EXPECT_EQ(std::vector<uint8_t>({1, 2, 3, 4, 5, 6, 7, 8}), quad.Data);
    EXPECT_EQ(ULONG{REG_NONE}, Query(store, korvane, u"None").Type);
    EXPECT_TRUE(Query(store, korvane, u"None").Data.empty());
    EXPECT_EQ(ULONG{REG_SZ}, Query(store, korvane, u"Unterminated").Type);
    EXPECT_EQ(Units(u"A"), Query(store, korvane, u"Unterminated").Data);
    EXPECT_EQ(StringBytes(u"A\n"), Query(store, korvane, u"Line break").Data);
    EXPECT_EQ(ULONG{REG_DWORD}, Query(store, korvane, u"LongDword").Type);
    EXPECT_EQ(8u, Query(store, korvane, u"LongDword").Data.size());
    EXPECT_EQ(0x12345678u, Query(store, korvane, u"Odd type").Type);
    EXPECT_TRUE(Query(store, korvane, u"EmptyBinary").Data.empty());
    EXPECT_EQ(StringBytes(u"blue"), Query(store, u"\\Registry\\User\\.Default", u"color").Data);
}

TEST(RegTextTest, HexLinesStayWithinEightyColumnsWhateverTheNameLength) {
    Store store;
    const KeyRef key = CreatePath(store, u"\\Registry\\Machine\\Wrap");
    std::vector<uint8_t> data(333);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(255 - i);
    for (size_t nameLength : {0, 1, 5, 30, 60}) {
        const std::u16string name(nameLength, u'n');
        ASSERT_EQ(STATUS_SUCCESS, store.SetValue(key, name, REG_BINARY, data.data(), data.size()));
    }
    const std::u16string text = Export(store);
    std::u16string_view rest = text;
    size_t continuations = 0;
    while (!rest.empty()) {
        const size_t end = rest.find(u"\r\n");
        ASSERT_NE(std::u16string_view::npos, end);
        const std::u16string_view line = rest.substr(0, end);
        EXPECT_LE(line.size(), 80u) << Utf16ToUtf8(line);
        if (!line.empty() && line.back() == u'\\') {
            ++continuations;
            EXPECT_EQ(u',', line[line.size() - 2]);
        }
        rest.remove_prefix(end + 2);
    }
    EXPECT_GT(continuations, 5 * 12u);
    Store copy;
    Import(copy, text);
    for (size_t nameLength : {0, 1, 5, 30, 60})
        EXPECT_EQ(data,
                  Query(copy, u"\\Registry\\Machine\\Wrap", std::u16string(nameLength, u'n')).Data);
    EXPECT_EQ(text, Export(copy));
}

// Walks two stores in step and compares every key, name, type and byte.
void ExpectSameTree(const Store& a, const KeyRef& ka, const Store& b, const KeyRef& kb) {
    KeyInfo ia, ib;
    ASSERT_EQ(STATUS_SUCCESS, a.QueryKey(ka, &ia));
    ASSERT_EQ(STATUS_SUCCESS, b.QueryKey(kb, &ib));
    EXPECT_EQ(ia.Name, ib.Name);
    ASSERT_EQ(ia.Values, ib.Values);
    for (ULONG i = 0; i < ia.Values; ++i) {
        NamedValue va, vb;
        ASSERT_EQ(STATUS_SUCCESS, a.EnumerateValue(ka, i, &va));
        ASSERT_EQ(STATUS_SUCCESS, b.EnumerateValue(kb, i, &vb));
        EXPECT_EQ(va.Name, vb.Name);
        EXPECT_EQ(va.Type, vb.Type);
        EXPECT_EQ(va.Data, vb.Data);
    }
    ASSERT_EQ(ia.SubKeys, ib.SubKeys);
    for (ULONG i = 0; i < ia.SubKeys; ++i) {
        KeyInfo ca;
        ASSERT_EQ(STATUS_SUCCESS, a.EnumerateKey(ka, i, &ca));
        KeyRef sa, sb;
        ASSERT_EQ(STATUS_SUCCESS, a.OpenKey(ka, ca.Name, &sa));
        ASSERT_EQ(STATUS_SUCCESS, b.OpenKey(kb, ca.Name, &sb));
        ExpectSameTree(a, sa, b, sb);
    }
}

TEST(RegTextTest, RandomStoresSurviveExportAndImport) {
    std::mt19937 random(12345);
    const std::u16string alphabet = u"aZ09 _-.{}[]\"\\@=,;Ωжü中😀";
    auto randomName = [&](size_t maxLength) {
        std::u16string name;
        const size_t length = random() % (maxLength + 1);
        while (name.size() < length) {
            const size_t at = random() % alphabet.size();
            if (alphabet[at] >= 0xD800 && alphabet[at] <= 0xDBFF) {
                name += alphabet.substr(at, 2);
            } else if (alphabet[at] < 0xDC00 || alphabet[at] > 0xDFFF) {
                name += alphabet[at];
            }
        }
        return name;
    };
    const ULONG types[] = {REG_NONE,  REG_SZ,       REG_EXPAND_SZ, REG_BINARY,
                           REG_DWORD, REG_MULTI_SZ, REG_QWORD,     0x99};
    Store store;
    std::vector<KeyRef> keys;
    KeyRef machine;
    ASSERT_EQ(STATUS_SUCCESS, store.OpenKey(nullptr, kMachinePath, &machine));
    keys.push_back(machine);
    for (int i = 0; i < 200; ++i) {
        const KeyRef parent = keys[random() % keys.size()];
        std::u16string name = randomName(12);
        if (name.empty() || name.find(u'\\') != std::u16string::npos) continue;
        KeyRef key;
        ASSERT_EQ(STATUS_SUCCESS, store.CreateKey(parent, name, {}, &key));
        keys.push_back(key);
        for (int v = random() % 4; v > 0; --v) {
            const ULONG type = types[random() % std::size(types)];
            std::vector<uint8_t> data(random() % 3 == 0 ? 4 : random() % 120);
            for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
            if (type == REG_SZ && random() % 2) data = StringBytes(randomName(30));
            ASSERT_EQ(STATUS_SUCCESS,
                      store.SetValue(key, randomName(10), type, data.data(), data.size()));
        }
    }
    const std::u16string text = Export(store);
    Store copy;
    Import(copy, text);
    EXPECT_EQ(text, Export(copy));
    KeyRef copyMachine;
    ASSERT_EQ(STATUS_SUCCESS, copy.OpenKey(nullptr, kMachinePath, &copyMachine));
    ExpectSameTree(store, machine, copy, copyMachine);
}

TEST(RegTextTest, ImportTakesTheEditorsLooserForms) {
    Store store;
    Import(store,
           uR"(
Windows Registry Editor Version 5.00
; a comment line

[HKEY_CURRENT_USER\Software\Korvane]
"Short"=DWORD:1a
"Spaced" = "x"
"Cont"=hex(7):61,00,\
    62,00,  \
	00,00
"Upper"=HEX:AB,cD

[HKEY_CLASSES_ROOT\CLSID]
@="c"

[HKEY_CURRENT_CONFIG\System]
"Cfg"=dword:00000002
)");
    const std::u16string user = std::u16string(kUsersPath) + u"\\" +
                                std::u16string(kCurrentUserSid) + u"\\Software\\Korvane";
    EXPECT_EQ(std::vector<uint8_t>({0x1a, 0, 0, 0}), Query(store, user, u"Short").Data);
    EXPECT_EQ(StringBytes(u"x"), Query(store, user, u"Spaced").Data);
    EXPECT_EQ(std::vector<uint8_t>({0x61, 0, 0x62, 0, 0, 0}), Query(store, user, u"Cont").Data);
    EXPECT_EQ(std::vector<uint8_t>({0xab, 0xcd}), Query(store, user, u"Upper").Data);
    EXPECT_EQ(StringBytes(u"c"),
              Query(store, u"\\Registry\\Machine\\Software\\Classes\\CLSID", u"").Data);
    EXPECT_EQ(
        std::vector<uint8_t>({2, 0, 0, 0}),
        Query(store,
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System",
              u"Cfg")
            .Data);
}

TEST(RegTextTest, ImportDeletesBranchesAndValues) {
    Store store;
    Import(store, Crlf(uR"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\A\B]
"keep"=dword:00000001
"drop"=dword:00000002

[HKEY_LOCAL_MACHINE\Software\C\D]
)"));
    Import(store,
           uR"(Windows Registry Editor Version 5.00
[-HKEY_LOCAL_MACHINE\Software\C]
[-HKEY_LOCAL_MACHINE\Software\NotThere]
[HKEY_LOCAL_MACHINE\Software\A\B]
"drop"=-
"never"=-
)");
    EXPECT_EQ(Crlf(uR"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software]

[HKEY_LOCAL_MACHINE\Software\A]

[HKEY_LOCAL_MACHINE\Software\A\B]
"keep"=dword:00000001

)"),
              Export(store));
}

TEST(RegTextTest, MalformedTextIsRefusedByLineAndChangesNothing) {
    const struct {
        std::u16string_view text;
        const char* error;
    } cases[] = {
        {u"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n", "line 1:"},
        {u"", "line 1:"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_NOWHERE\\X]\n", "line 2: unknown root"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X\\]\n",
         "line 2: invalid key name"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X\n",
         "line 2: malformed key section"},
        {u"Windows Registry Editor Version 5.00\n\"a\"=\"b\"\n", "line 2: value outside"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"a\\n\"=\"b\"\n",
         "line 3: unknown escape"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"b\n",
         "line 3: unterminated"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"b\"c\n",
         "line 3: text after"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:123456789\n",
         "line 3: malformed dword"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:1,,2\n",
         "line 3: malformed hex byte"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:100\n",
         "line 3: malformed hex byte"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex(x):00\n",
         "line 3: malformed hex(type)"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:00,\\",
         "line 3: continuation"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=word:1\n",
         "line 3: unrecognised"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"a\" \"b\"\n",
         "line 3: expected '='"},
        {u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\njunk\n",
         "line 3: unexpected line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.text));
        Store store;
        Import(store, Crlf(uR"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Before]
"v"=dword:00000001

)"));
        const std::u16string before = Export(store);
        std::string error;
        // Everything before the bad line would be valid: nothing of it may land.
        std::u16string text(c.text);
        EXPECT_FALSE(store.ImportText(text, &error));
        EXPECT_EQ(0u, error.find(c.error)) << error;
        EXPECT_EQ(before, Export(store));
    }
}

TEST(RegTextTest, NamesWithLineBreaksCannotBeExported) {
    Store store;
    KeyRef key = CreatePath(store, u"\\Registry\\Machine\\Bad\nName");
    std::u16string text;
    std::string error;
    EXPECT_FALSE(store.ExportText(&text, &error));
    EXPECT_NE(std::string::npos, error.find("cannot be written")) << error;
    ASSERT_EQ(STATUS_SUCCESS, store.DeleteKey(key));
    key = CreatePath(store, u"\\Registry\\Machine\\Good");
    ASSERT_EQ(STATUS_SUCCESS, store.SetValue(key, u"line\r\nbreak", REG_NONE, nullptr, 0));
    EXPECT_FALSE(store.ExportText(&text, &error));
}

TEST(RegTextTest, ExportOfOneBranch) {
    Store store;
    Import(store, kCanonical);
    ExportOptions options;
    options.RootPath = u"\\Registry\\Machine\\Software\\Korvane\\sub]KEY";
    EXPECT_EQ(Crlf(uR"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Korvane\Sub]key]
"x"="y"

)"),
              Export(store, options));
    options.RootPath = u"\\Registry\\Machine\\Missing";
    std::u16string text;
    std::string error;
    EXPECT_FALSE(store.ExportText(&text, &error, options));
}

class RegFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder =
            std::filesystem::temp_directory_path() /
            ("kp_registry_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::string ReadBytes(const std::filesystem::path& path) {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        return bytes.str();
    }
    void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::filesystem::path folder;
};

TEST_F(RegFileTest, SavedInEitherEncodingAndLoadedBack) {
    Store store;
    Import(store, kCanonical);
    CreateKeyOptions options;
    options.Volatile = true;
    KeyRef key;
    ASSERT_EQ(STATUS_SUCCESS,
              store.CreateKey(nullptr, u"\\Registry\\Machine\\Software\\Fleeting", options, &key));
    std::string error;
    for (TextEncoding encoding : {TextEncoding::Utf8, TextEncoding::Utf16Le}) {
        const std::filesystem::path path = folder / "registry.reg";
        ASSERT_TRUE(store.SaveFile(path, &error, encoding)) << error;
        const std::string bytes = ReadBytes(path);
        if (encoding == TextEncoding::Utf8) {
            EXPECT_EQ(Utf16ToUtf8(kCanonical), bytes);  // volatile keys are not saved
        } else {
            ASSERT_GE(bytes.size(), 2u);
            EXPECT_EQ("\xFF\xFE", bytes.substr(0, 2));
            EXPECT_EQ(kCanonical.size() * 2 + 2, bytes.size());
        }
        EXPECT_FALSE(std::filesystem::exists(folder / "registry.reg.tmp"));
        Store loaded;
        Import(loaded, u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Replaced]\n");
        ASSERT_TRUE(loaded.LoadFile(path, &error)) << error;
        EXPECT_EQ(kCanonical, Export(loaded));  // the load replaced what was there
    }
}

TEST_F(RegFileTest, BadFilesLeaveTheStoreAsItWas) {
    Store store;
    Import(store, kCanonical);
    std::string error;
    EXPECT_FALSE(store.LoadFile(folder / "missing.reg", &error));
    WriteBytes(folder / "be.reg", std::string("\xFE\xFF\0W", 4));
    EXPECT_FALSE(store.LoadFile(folder / "be.reg", &error));
    EXPECT_NE(std::string::npos, error.find("big-endian")) << error;
    WriteBytes(folder / "odd.reg", std::string("\xFF\xFEW", 3));
    EXPECT_FALSE(store.LoadFile(folder / "odd.reg", &error));
    WriteBytes(folder / "utf8.reg",
               "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\\xC3\x28]\r\n");
    EXPECT_FALSE(store.LoadFile(folder / "utf8.reg", &error));
    EXPECT_NE(std::string::npos, error.find("UTF-8")) << error;
    WriteBytes(folder / "syntax.reg",
               "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=bad\r\n");
    EXPECT_FALSE(store.LoadFile(folder / "syntax.reg", &error));
    EXPECT_NE(std::string::npos, error.find("syntax.reg: line 3")) << error;
    EXPECT_EQ(kCanonical, Export(store));
    EXPECT_FALSE(store.SaveFile(folder / "no" / "such" / "folder.reg", &error));
}

TEST_F(RegFileTest, FlushWritesTheBackingFile) {
    Store store;
    std::string error;
    EXPECT_TRUE(store.Flush(&error));  // nothing to write to
    Import(store, kCanonical);
    store.SetBackingFile(folder / "machine.reg");
    ASSERT_TRUE(store.Flush(&error)) << error;
    EXPECT_EQ(Utf16ToUtf8(kCanonical), ReadBytes(folder / "machine.reg"));
}

TEST(TextTest, Utf8CarriesEverySixteenBitText) {
    const std::u16string texts[] = {u"",
                                    u"plain",
                                    u"Ключ 世界 😀",
                                    std::u16string(1, u'\xD800'),
                                    std::u16string(u"a\xDC00z"),
                                    std::u16string(u"\xDBFF\xDFFF")};
    for (const std::u16string& text : texts) {
        std::u16string back;
        ASSERT_TRUE(Utf8ToUtf16(Utf16ToUtf8(text), &back));
        EXPECT_EQ(text, back);
    }
    EXPECT_EQ("\xF0\x9F\x98\x80", Utf16ToUtf8(u"😀"));
    std::u16string out;
    for (std::string bad : {"\x80", "\xC3", "\xC0\x80", "\xF4\x90\x80\x80", "\xFF"})
        EXPECT_FALSE(Utf8ToUtf16(bad, &out));
}

TEST(TextTest, RootsAndPathsMapBothWays) {
    EXPECT_EQ(u"\\Registry\\Machine\\Software",
              KernelPathFromRegPath(u"HKEY_LOCAL_MACHINE\\Software"));
    EXPECT_EQ(u"\\Registry\\User", KernelPathFromRegPath(u"hkey_users"));
    EXPECT_EQ(std::nullopt, KernelPathFromRegPath(u"HKLM\\Software"));
    EXPECT_EQ(u"HKEY_LOCAL_MACHINE\\Software",
              RegPathFromKernelPath(u"\\REGISTRY\\MACHINE\\Software"));
    EXPECT_EQ(u"HKEY_USERS", RegPathFromKernelPath(u"\\Registry\\User"));
    EXPECT_EQ(std::nullopt, RegPathFromKernelPath(u"\\Registry\\MachineX"));
    EXPECT_EQ(std::nullopt, RegPathFromKernelPath(u"\\Registry"));
    EXPECT_EQ(std::vector<std::u16string>({u"a", u"bc"}),
              MultiStringFromBytes(MultiStringBytes({u"a", u"bc"})));
    EXPECT_TRUE(MultiStringFromBytes(MultiStringBytes({})).empty());
    EXPECT_EQ(u"ab", StringFromBytes({'a', 0, 'b', 0, 0, 0, 'c', 0}));
}

}  // namespace
}  // namespace kp::reg
