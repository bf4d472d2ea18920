#include "GraphRecorders.h"

#include <cmath>

namespace {

class RecordingSink : public CKAUDPASnk {
public:
    explicit RecordingSink(GraphRecord* record)
        : CKAUDPASnk(nullptr, ZvFourCC("ZSAM"), nullptr), m_record(record) {}
    ZvStatus SubmitPinData(ULONG, PVOID input, ULONG bytes, PVOID, ULONG, PULONGLONG) override {
        auto p = static_cast<const UCHAR*>(input);
        m_record->sizes.push_back(bytes);
        m_record->sent.insert(m_record->sent.end(), p, p + bytes);
        return ZV_OK;
    }

private:
    GraphRecord* m_record;
};

class CountingSource : public CKAUDPASrc {
public:
    explicit CountingSource(GraphRecord* record)
        : CKAUDPASrc(nullptr, ZvFourCC("ZSAM"), nullptr), m_record(record) {}
    ZvStatus SubmitPinData(ULONG, PVOID, ULONG, PVOID output, ULONG bytes, PULONGLONG) override {
        auto samples = static_cast<SHORT*>(output);
        for (ULONG i = 0; i < bytes / 2; ++i) samples[i] = CountingSample(m_record->next++);
        return ZV_OK;
    }

private:
    GraphRecord* m_record;
};

class FailingOnceResampler : public CKAUDPBRes {
public:
    explicit FailingOnceResampler(ULONG failing)
        : CKAUDPBRes(nullptr, ZvFourCC("ZSAM"), nullptr), m_failing(failing) {}
    ZvStatus SubmitPinData(ULONG pin, PVOID input, ULONG inputBytes, PVOID output,
                           ULONG outputBytes, PULONGLONG side) override {
        if (m_calls++ == m_failing) return ZV_FAILED;
        return CKAUDPBRes::SubmitPinData(pin, input, inputBytes, output, outputBytes, side);
    }

private:
    ULONG m_failing;
    ULONG m_calls = 0;
};

}  // namespace

CKAUDPBRes* NewResamplerFailingOnce(ULONG failing) {
    return new FailingOnceResampler(failing);
}
CKAUDPASnk* NewRecordingSink(GraphRecord* record) {
    return new RecordingSink(record);
}
CKAUDPASrc* NewCountingSource(GraphRecord* record) {
    return new CountingSource(record);
}
SHORT CountingSample(ULONG n) {
    return static_cast<SHORT>(8000 * std::sin(n * 0.3) + n % 7);
}
