// The contract every processing module keeps, written once and run over every
// module.  A module's test file defines a traits type and instantiates:
//
//   struct MyTraits {
//       using Module = CKAUDPXxxx;
//       static constexpr ULONG kTag = ZvFourCC("Xxxx");
//       // Ids GetProperty knows, with their sizes; read-only ones among them.
//       static constexpr PropertySpec kProperties[] = {{0, 4, true}, ...};
//       static constexpr ULONG kUnknownId = 99;
//       // One settable id with a value it takes and one it refuses (11).
//       static constexpr ULONG kRangedId = 2, kGoodValue = 16, kBadValue = 24;
//       // Brings the module to a state where Submit answers 0, and submits.
//       static void Configure(Module* m);
//       static ZvStatus Submit(Module* m);
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(Xxxx, ModuleContract, MyTraits);
//
// Modules whose constructor can fail (an engine that cannot be created) add
//       // Makes the next construction fail (for example by an injected
//       // allocation failure); the status it should then report.
//       static ZvStatus FailNextConstruction();
// and the contract checks that such a module answers 3 to everything.
//
// Modules that refuse an out-of-range value with another answer than 11 set
// `static constexpr ZvStatus kBadValueStatus = ZV_FAILED;`.
//
// Modules whose buffer forms of the property calls are not supported set
// `static constexpr bool kBufferProperties = false;` (the size protocol tests
// then expect 1 for every id).
#pragma once

#include "CKAUDPModule.h"
#include "ModuleTestSupport.h"

namespace zvmodtest {

struct PropertySpec {
    ULONG id;
    ULONG size;
    bool readOnly;
};

template <class Traits>
constexpr bool BufferProperties() {
    if constexpr (requires { Traits::kBufferProperties; }) {
        return Traits::kBufferProperties;
    } else {
        return true;
    }
}

// What a refused value answers: 11 unless the traits say otherwise (modules
// whose engine judges the value answer 1).
template <class Traits>
constexpr ZvStatus BadValueStatus() {
    if constexpr (requires { Traits::kBadValueStatus; }) {
        return Traits::kBadValueStatus;
    } else {
        return ZV_INVALID_PARAMETER;
    }
}

template <class Traits>
class ModuleContract : public OneModuleTest<typename Traits::Module> {};

TYPED_TEST_SUITE_P(ModuleContract);

TYPED_TEST_P(ModuleContract, NamesWidenTagAndInstanceCode) {
    char tag[5] = {};
    std::memcpy(tag, &TypeParam::kTag, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(this->m_module->Tag()[i], static_cast<WCHAR>(tag[i]));
    EXPECT_EQ(this->m_module->Tag()[4], 0);
    const WCHAR expected[] = u"ZTST";
    for (int i = 0; i < 5; ++i) EXPECT_EQ(this->m_module->InstanceName()[i], expected[i]);
}

TYPED_TEST_P(ModuleContract, AboveDispatchEveryOperationAnswersOneBeforeCheckingArguments) {
    TypeParam::Configure(this->m_module);
    ScopedIrql raised(kDeviceIrql);
    ULONG size = 0;
    EXPECT_EQ(this->m_module->GetProperty(0, nullptr, nullptr), ZV_FAILED);
    EXPECT_EQ(this->m_module->GetProperty(TypeParam::kUnknownId, nullptr, &size), ZV_FAILED);
    EXPECT_EQ(this->m_module->SetProperty(TypeParam::kRangedId, nullptr, 0), ZV_FAILED);
    EXPECT_EQ(this->m_module->GetPropertyDword(TypeParam::kRangedId, nullptr), ZV_FAILED);
    EXPECT_EQ(this->m_module->SetPropertyDword(TypeParam::kRangedId, TypeParam::kGoodValue),
              ZV_FAILED);
    EXPECT_EQ(this->m_module->SubmitPinData(0, nullptr, 0, nullptr, 0, nullptr), ZV_FAILED);
    EXPECT_EQ(TypeParam::Submit(this->m_module), ZV_FAILED);
}

TYPED_TEST_P(ModuleContract, EveryOperationRunsAtDispatchLevel) {
    TypeParam::Configure(this->m_module);
    ScopedIrql raised(DISPATCH_LEVEL);
    ULONG value = 0;
    EXPECT_EQ(this->m_module->SetPropertyDword(TypeParam::kRangedId, TypeParam::kGoodValue), ZV_OK);
    EXPECT_EQ(this->m_module->GetPropertyDword(TypeParam::kRangedId, &value), ZV_OK);
    EXPECT_EQ(value, TypeParam::kGoodValue);
    EXPECT_EQ(TypeParam::Submit(this->m_module), ZV_OK);
}

TYPED_TEST_P(ModuleContract, GetPropertySizeProtocol) {
    UCHAR buffer[16];
    for (const PropertySpec& p : TypeParam::kProperties) {
        SCOPED_TRACE(::testing::Message() << "property " << p.id);
        ULONG size = 0;
        EXPECT_EQ(this->m_module->GetProperty(p.id, buffer, &size), ZV_INVALID_PARAMETER);
        size = sizeof(buffer);
        EXPECT_EQ(this->m_module->GetProperty(p.id, nullptr, &size), ZV_INVALID_PARAMETER);
        EXPECT_EQ(this->m_module->GetProperty(p.id, buffer, nullptr), ZV_INVALID_PARAMETER);
        if constexpr (BufferProperties<TypeParam>()) {
            size = 2;
            EXPECT_EQ(this->m_module->GetProperty(p.id, buffer, &size), ZV_BUFFER_TOO_SMALL);
            EXPECT_EQ(size, p.size);
            size = p.size - 1;
            EXPECT_EQ(this->m_module->GetProperty(p.id, buffer, &size), ZV_BUFFER_TOO_SMALL);
            EXPECT_EQ(size, p.size);
            size = sizeof(buffer);
            EXPECT_EQ(this->m_module->GetProperty(p.id, buffer, &size), ZV_OK);
            EXPECT_EQ(size, p.size);
        } else {
            size = sizeof(buffer);
            EXPECT_EQ(this->m_module->GetProperty(p.id, buffer, &size), ZV_FAILED);
        }
    }
    ULONG size = sizeof(buffer);
    EXPECT_EQ(this->m_module->GetProperty(TypeParam::kUnknownId, buffer, &size), ZV_FAILED);
    if constexpr (BufferProperties<TypeParam>()) {
        EXPECT_EQ(size, 0u);
    }
}

TYPED_TEST_P(ModuleContract, SetPropertyChecksArgumentsThenIdThenRange) {
    ULONG value = TypeParam::kGoodValue;
    EXPECT_EQ(this->m_module->SetProperty(TypeParam::kRangedId, nullptr, 4), ZV_INVALID_PARAMETER);
    EXPECT_EQ(this->m_module->SetProperty(TypeParam::kRangedId, &value, 0), ZV_INVALID_PARAMETER);
    if constexpr (BufferProperties<TypeParam>()) {
        EXPECT_EQ(this->m_module->SetProperty(TypeParam::kRangedId, &value, 2),
                  ZV_BUFFER_TOO_SMALL);
        EXPECT_EQ(this->m_module->SetProperty(TypeParam::kUnknownId, &value, 4), ZV_FAILED);
        for (const PropertySpec& p : TypeParam::kProperties) {
            if (!p.readOnly) continue;
            SCOPED_TRACE(::testing::Message() << "read-only property " << p.id);
            ULONG before = 0, after = 0, size = 4;
            ASSERT_EQ(this->m_module->GetProperty(p.id, &before, &size), ZV_OK);
            ULONG other = before + 1;
            EXPECT_EQ(this->m_module->SetProperty(p.id, &other, 4), ZV_FAILED);
            size = 4;
            ASSERT_EQ(this->m_module->GetProperty(p.id, &after, &size), ZV_OK);
            EXPECT_EQ(after, before);
        }
    }
}

TYPED_TEST_P(ModuleContract, OutOfRangeValueIsRefusedAndTheFieldKept) {
    ASSERT_EQ(this->m_module->SetPropertyDword(TypeParam::kRangedId, TypeParam::kGoodValue), ZV_OK);
    EXPECT_EQ(this->m_module->SetPropertyDword(TypeParam::kRangedId, TypeParam::kBadValue),
              BadValueStatus<TypeParam>());
    ULONG value = 0;
    ASSERT_EQ(this->m_module->GetPropertyDword(TypeParam::kRangedId, &value), ZV_OK);
    EXPECT_EQ(value, TypeParam::kGoodValue);
    EXPECT_EQ(this->m_module->GetPropertyDword(TypeParam::kRangedId, nullptr),
              ZV_INVALID_PARAMETER);
}

TYPED_TEST_P(ModuleContract, ConfiguredModuleSubmits) {
    TypeParam::Configure(this->m_module);
    EXPECT_EQ(TypeParam::Submit(this->m_module), ZV_OK);
}

TYPED_TEST_P(ModuleContract, FailedObjectAllocationGivesNullAndLeaksNothing) {
    this->FailAllocation(1);
    ULONG status = 0xDEAD;
    typename TypeParam::Module* module =
        new typename TypeParam::Module(nullptr, this->kInstance, &status);
    KpPoolClearFailures();
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(status, 0xDEADu);  // the constructor did not run
    delete module;
}

TYPED_TEST_P(ModuleContract, ModuleWhoseConstructionFailedAnswersNotReady) {
    if constexpr (requires { TypeParam::FailNextConstruction(); }) {
        const ZvStatus expected = TypeParam::FailNextConstruction();
        ULONG status = 0;
        auto* module = new typename TypeParam::Module(nullptr, this->kInstance, &status);
        KpPoolClearFailures();
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(status, expected);
        ULONG value = 0, size = 4;
        EXPECT_EQ(module->GetProperty(0, &value, &size), ZV_NOT_READY);
        EXPECT_EQ(module->SetProperty(TypeParam::kRangedId, &value, 4), ZV_NOT_READY);
        EXPECT_EQ(module->GetPropertyDword(TypeParam::kRangedId, &value), ZV_NOT_READY);
        EXPECT_EQ(module->SetPropertyDword(TypeParam::kRangedId, TypeParam::kGoodValue),
                  ZV_NOT_READY);
        EXPECT_EQ(TypeParam::Submit(module), ZV_NOT_READY);
        {
            ScopedIrql raised(kDeviceIrql);
            EXPECT_EQ(module->GetPropertyDword(TypeParam::kRangedId, nullptr), ZV_FAILED);
            EXPECT_EQ(TypeParam::Submit(module), ZV_FAILED);
        }
        delete module;
    } else {
        GTEST_SKIP() << "the constructor of this module cannot fail";
    }
}

REGISTER_TYPED_TEST_SUITE_P(ModuleContract, ModuleWhoseConstructionFailedAnswersNotReady,
                            NamesWidenTagAndInstanceCode,
                            AboveDispatchEveryOperationAnswersOneBeforeCheckingArguments,
                            EveryOperationRunsAtDispatchLevel, GetPropertySizeProtocol,
                            SetPropertyChecksArgumentsThenIdThenRange,
                            OutOfRangeValueIsRefusedAndTheFieldKept, ConfiguredModuleSubmits,
                            FailedObjectAllocationGivesNullAndLeaksNothing);

}  // namespace zvmodtest
