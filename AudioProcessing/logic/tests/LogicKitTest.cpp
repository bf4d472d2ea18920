// The logic kit against a private set and modules of the tests' own: the
// answer every logic gives to its private property set (basic support
// included), the module slot table's order and failures, and the
// channel-format words.
#include <cstring>
#include <string>
#include <vector>

#include "FrameworkTestSupport.h"
#include "LogicCommon.h"

volatile LONG g_bFilterLoaded = 1;

namespace {

// {8C1E4F0A-...}: a set of the tests' own.
const GUID kTestSet = {
    0x8C1E4F0A, 0x1D2B, 0x4C3D, {0x9E, 0x8F, 0x70, 0x61, 0x52, 0x43, 0x34, 0x25}};
const GUID kOtherSet = {
    0x8C1E4F0B, 0x1D2B, 0x4C3D, {0x9E, 0x8F, 0x70, 0x61, 0x52, 0x43, 0x34, 0x25}};

struct HandlerCall {
    char Kind;
    CGenDisp* GenDisp;
    ULONG Id;
    PVOID Value;
    ULONG Size;
};
std::vector<HandlerCall> g_handlerCalls;
ZvStatus g_handlerAnswer = ZV_OK;

ZvStatus TestGet(CGenDisp* genDisp, ULONG id, PVOID value, PULONG size) {
    g_handlerCalls.push_back({'G', genDisp, id, value, *size});
    *size = 3;  // what the handler leaves is what the caller gets
    return g_handlerAnswer;
}
ZvStatus TestPut(CGenDisp* genDisp, ULONG id, PVOID value, PULONG size) {
    g_handlerCalls.push_back({'S', genDisp, id, value, *size});
    return g_handlerAnswer;
}
const PrivatePropertySet kSet = {.Set = &kTestSet, .Get = TestGet, .Put = TestPut};

class PrivateSetTest : public zvtest::FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        g_handlerCalls.clear();
        g_handlerAnswer = ZV_OK;
        g_bFilterLoaded = 1;
    }
    void TearDown() override {
        g_bFilterLoaded = 1;
        FrameworkTest::TearDown();
    }
    static NTSTATUS Ask(ULONG flags, ULONG id, PVOID value, ULONG* size, const GUID& set = kTestSet,
                        ULONG inputLength = sizeof(KSPROPERTY)) {
        KSPROPERTY p = {set, id, flags};
        return AnswerPrivateSet(kSet, reinterpret_cast<CGenDisp*>(0x40), &p, inputLength, value,
                                size);
    }
};

TEST_F(PrivateSetTest, GetAndSetReachTheirHandlersWithTheRequestAsItCame) {
    ULONG word = 7, size = sizeof word;
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_GET, 9, &word, &size), STATUS_SUCCESS);
    EXPECT_EQ(size, 3u);
    size = sizeof word;
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_SET, 4, &word, &size), STATUS_SUCCESS);
    ASSERT_EQ(g_handlerCalls.size(), 2u);
    EXPECT_EQ(g_handlerCalls[0].Kind, 'G');
    EXPECT_EQ(g_handlerCalls[0].Id, 9u);
    EXPECT_EQ(g_handlerCalls[0].Value, &word);
    EXPECT_EQ(g_handlerCalls[0].Size, sizeof word);
    EXPECT_EQ(g_handlerCalls[0].GenDisp, reinterpret_cast<CGenDisp*>(0x40));
    EXPECT_EQ(g_handlerCalls[1].Kind, 'S');
    EXPECT_EQ(g_handlerCalls[1].Id, 4u);

    // A handler's failure fails the request; GET wins over SET.
    g_handlerAnswer = ZV_INVALID_PARAMETER;
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, 1, &word, &size), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_handlerCalls.back().Kind, 'G');
}

TEST_F(PrivateSetTest, RequestsItCannotAnswerAreRefusedBeforeAnyHandler) {
    ULONG word = 0, size = sizeof word;
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_GET, 1, &word, &size, kOtherSet), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_GET, 1, &word, &size, kTestSet, sizeof(KSPROPERTY) - 1),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(AnswerPrivateSet(kSet, nullptr, nullptr, sizeof(KSPROPERTY), &word, &size),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_RELATIONS, 1, &word, &size), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ask(0, 1, &word, &size), STATUS_UNSUCCESSFUL);
    g_bFilterLoaded = 0;  // unloaded: every kind refused
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_GET, 1, &word, &size), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_SETSUPPORT, 1, &word, &size), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_BASICSUPPORT, 1, &word, &size), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(g_handlerCalls.empty());
    EXPECT_EQ(word, 0u);
    EXPECT_EQ(size, sizeof word);
}

TEST_F(PrivateSetTest, SetSupportSucceedsWithoutAHandler) {
    ULONG size = 0;
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_SETSUPPORT, 2, nullptr, &size), STATUS_SUCCESS);
    EXPECT_TRUE(g_handlerCalls.empty());
}

// Every property reads and writes: GET, SET, SETSUPPORT and BASICSUPPORT.
constexpr ULONG kReadWrite = 0x303;

TEST_F(PrivateSetTest, BasicSupportAnswersAccessFlagsAndLeavesTheByteCount) {
    ULONG flags = 0, size = sizeof flags;
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_BASICSUPPORT, 5, &flags, &size), STATUS_SUCCESS);
    EXPECT_EQ(flags, kReadWrite);
    EXPECT_EQ(size, sizeof flags);

    // A description, in a buffer larger than one: zeroed but for its access
    // flags and size; the byte count stays as it came and the rest is untouched.
    UCHAR buffer[sizeof(KSPROPERTY_DESCRIPTION) + 8];
    std::memset(buffer, 0xA5, sizeof buffer);
    size = sizeof buffer;
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_BASICSUPPORT, 5, buffer, &size), STATUS_SUCCESS);
    EXPECT_EQ(size, sizeof buffer);
    KSPROPERTY_DESCRIPTION description;
    std::memcpy(&description, buffer, sizeof description);
    EXPECT_EQ(description.AccessFlags, kReadWrite);
    EXPECT_EQ(description.DescriptionSize, sizeof(KSPROPERTY_DESCRIPTION));
    EXPECT_EQ(description.MembersListCount, 0u);
    EXPECT_EQ(description.Reserved, 0u);
    EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, GUID{}));
    for (size_t i = sizeof description; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 0xA5) << i;
    EXPECT_TRUE(g_handlerCalls.empty());
}

TEST_F(PrivateSetTest, BasicSupportRefusesBuffersThatHoldNeitherAnswer) {
    UCHAR buffer[sizeof(KSPROPERTY_DESCRIPTION)];
    std::memset(buffer, 0xA5, sizeof buffer);
    for (ULONG given : {0u, 2u, 5u, static_cast<ULONG>(sizeof buffer) - 1}) {
        ULONG size = given;
        EXPECT_EQ(Ask(KSPROPERTY_TYPE_BASICSUPPORT, 5, buffer, &size), STATUS_UNSUCCESSFUL)
            << given;
        EXPECT_EQ(size, given);
    }
    for (UCHAR b : buffer) EXPECT_EQ(b, 0xA5);
    ULONG size = sizeof(ULONG);
    EXPECT_EQ(Ask(KSPROPERTY_TYPE_BASICSUPPORT, 5, nullptr, &size), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(BasicSupport(buffer, nullptr), STATUS_UNSUCCESSFUL);
}

// ---------------------------------------------------------------------------
// Module slots
// ---------------------------------------------------------------------------
std::string g_events;
ULONG g_failingModule = 0;  // the 1-based rank of the module whose constructor fails

template <char Name>
class TestModule {
public:
    TestModule(PDEVICE_OBJECT pdo, ULONG instanceCode, ULONG* status) {
        g_events += std::string("+") + Name;
        m_pdo = pdo;
        m_instanceCode = instanceCode;
        *status = g_failingModule == static_cast<ULONG>(Name - 'a' + 1) ? ZV_FAILED : ZV_OK;
    }
    ~TestModule() { g_events += std::string("-") + Name; }
    PDEVICE_OBJECT m_pdo;
    ULONG m_instanceCode;
};

TestModule<'a'>* g_pA;
TestModule<'b'>* g_pB;
TestModule<'c'>* g_pC;

const ModuleSlot kTable[] = {
    ModuleSlotOf(&g_pA, "A"),
    ModuleSlotOf(&g_pB, "B"),
    ModuleSlotOf(&g_pC, "C"),
};

class ModuleSlotTest : public zvtest::FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        g_events.clear();
        g_failingModule = 0;
    }
    void TearDown() override {
        DestroyModules(kTable);
        FrameworkTest::TearDown();
    }
};

TEST_F(ModuleSlotTest, CreatesInTableOrderAndDestroysLastFirst) {
    auto pdo = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
    ASSERT_TRUE(CreateModules(kTable, pdo, 0x54534554u));
    EXPECT_EQ(g_events, "+a+b+c");
    ASSERT_NE(g_pB, nullptr);
    EXPECT_EQ(g_pB->m_pdo, pdo);
    EXPECT_EQ(g_pB->m_instanceCode, 0x54534554u);
    DestroyModules(kTable);
    EXPECT_EQ(g_events, "+a+b+c-c-b-a");
    EXPECT_EQ(g_pA, nullptr);
    EXPECT_EQ(g_pB, nullptr);
    EXPECT_EQ(g_pC, nullptr);
    DestroyModules(kTable);  // empty slots: nothing more
    EXPECT_EQ(g_events, "+a+b+c-c-b-a");
}

TEST_F(ModuleSlotTest, AFailedModuleStopsTheLoadAndStaysForTheUnload) {
    g_failingModule = 2;
    EXPECT_FALSE(CreateModules(kTable, nullptr, 1));
    EXPECT_EQ(g_events, "+a+b");
    EXPECT_NE(g_pB, nullptr);
    EXPECT_EQ(g_pC, nullptr);
    DestroyModules(kTable);
    EXPECT_EQ(g_events, "+a+b-b-a");
}

// ---------------------------------------------------------------------------
// Channel formats
// ---------------------------------------------------------------------------
TEST(ChannelFormatWords, PcmFormatPacksWhatTheAccessorsRead) {
    const ChannelFormat f = PcmFormat(44100, 24, 6, 0x3F);
    EXPECT_EQ(f.FormatTagAndChannels, 0x00060001u);
    EXPECT_EQ(f.SamplesPerSec, 44100u);
    EXPECT_EQ(f.AvgBytesPerSec, 44100u * 18);
    EXPECT_EQ(f.BitsPerSample, 24u);
    EXPECT_EQ(f.ChannelMask, 0x3Fu);
    EXPECT_EQ(FormatBits(f), 24u);
    EXPECT_EQ(FormatChannels(f), 6u);

    // The framework's upper half of BitsPerSample is not part of the width.
    ChannelFormat marked = f;
    marked.BitsPerSample |= 0xABCD0000u;
    EXPECT_EQ(FormatBits(marked), 24u);

    const ChannelFormat mono = Mono16Format(16000);
    EXPECT_EQ(mono.FormatTagAndChannels, 0x00010001u);
    EXPECT_EQ(mono.AvgBytesPerSec, 32000u);
    EXPECT_EQ(mono.BitsPerSample, 16u);
    EXPECT_EQ(mono.ChannelMask, static_cast<ULONG>(SPEAKER_FRONT_CENTER));
}

TEST(ChannelFormatWords, SetMono16FormatKeepsTheFrameworksHalf) {
    ChannelFormat f = PcmFormat(48000, 32, 2, 3);
    f.BitsPerSample |= 0x00050000u;
    SetMono16Format(&f, 8000);
    EXPECT_EQ(f.FormatTagAndChannels, 0x00010001u);
    EXPECT_EQ(f.SamplesPerSec, 8000u);
    EXPECT_EQ(f.AvgBytesPerSec, 16000u);
    EXPECT_EQ(f.BitsPerSample, 0x00050010u);
    EXPECT_EQ(f.ChannelMask, static_cast<ULONG>(SPEAKER_FRONT_CENTER));
}

}  // namespace
