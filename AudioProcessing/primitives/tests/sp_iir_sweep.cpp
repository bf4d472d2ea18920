// The IIR filters against the double-precision reference over the full
// product of shapes, lengths, source and destination offsets and both
// families, in every member; the scale cycles through -2, 0, 1 and 3.
#include "sp_iir_reference.h"
#include "sp_test_support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kOffsetStep = 6;  // a sample of the offsets under the sanitizers
#else
constexpr size_t kOffsetStep = 2;
#endif

class IirSweep : public sptest::VariantTest {};

TEST_P(IirSweep, EveryOffsetAndFamily) {
    const int32_t scales[4] = {-2, 0, 1, 3};
    uint32_t caseNo = 0;
    for (const sptest::IirShape& shape : sptest::IirTestShapes()) {
        for (int32_t len : sptest::IirTestLengths(shape)) {
            for (size_t pad = 0; pad < 16; pad += kOffsetStep) {
                for (size_t offset = 0; offset < 16; offset += kOffsetStep) {
                    for (bool familyB : {false, true}) {
                        ++caseNo;
                        sptest::CheckIirCase(Variant(), shape, len, scales[caseNo % 4], pad, offset,
                                             caseNo, familyB);
                        if (HasFailure()) return;
                    }
                }
            }
        }
    }
}

SP_INSTANTIATE_VARIANTS(IirSweep);

}  // namespace
