// Registry-backed module parameters: value names, reading with the
// "absent or 0xFFFFFFFF keeps the default" rule, writing every row back, and
// no registry access at all without a device object.
#include <CKAUDPBRes.h>
#include <CKAUDPCMix.h>
#include <CKAUDPDrft.h>
#include <CKAUDPFCnv.h>
#include <CKAUDPModule.h>
#include <CKAUDPWAVC.h>

#include <kp/registry.h>

#include <optional>
#include <string>

#include <kp/pnp.h>

#include "ModuleTestSupport.h"
#include "ParamsProbe.h"
#include "TestDevice.h"

namespace zvmodtest {
namespace {

constexpr char16_t kKeyPath[] = u"\\Registry\\Machine\\System\\ZvModuleParamsTest";

class ModuleParamsTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        kp::reg::DeleteTree(kKeyPath);
        NTSTATUS status = 0;
        m_key = KpRegOpenKeyHandle(kKeyPath, KEY_ALL_ACCESS, true, &status);
        ASSERT_NE(m_key, nullptr) << std::hex << status;
        ULONG moduleStatus = 0;
        m_probe = new CKAUDPParamsProbe(nullptr, ZvFourCC("ZAEC"), &moduleStatus);
        ASSERT_NE(m_probe, nullptr);
    }
    void TearDown() override {
        delete m_probe;
        if (m_key != nullptr) ZwClose(m_key);
        kp::reg::DeleteTree(kKeyPath);
        ModuleTest::TearDown();
    }
    HANDLE m_key = nullptr;
    CKAUDPParamsProbe* m_probe = nullptr;
};

TEST(ModuleValueName, TagNameAndInstanceCode) {
    WCHAR name[kModuleParamValueNameChars];
    std::memset(name, 0x55, sizeof(name));
    ModuleBuildValueName(name, u"GAEC", u"_AutoOff_", u"ZAEC");
    EXPECT_EQ(std::u16string(name), u"GAEC_AutoOff_ZAEC");
    for (ULONG i = 17; i < kModuleParamValueNameChars; ++i) EXPECT_EQ(name[i], 0) << i;
    // Only four characters of the tag and of the instance code are taken.
    ModuleBuildValueName(name, u"BResX", u"_Q_", u"DQUEUE");
    EXPECT_EQ(std::u16string(name), u"BRes_Q_DQUE");
    // A middle part of 80 characters still leaves the name terminated.
    std::u16string longName(kModuleParamNameChars - 1, u'x');
    ModuleBuildValueName(name, u"GAEC", longName.c_str(), u"ZAEC");
    EXPECT_EQ(std::u16string(name), u"GAEC" + longName + u"ZAEC");
}

TEST(ModuleValueName, InstanceCodeIsWidenedInMemoryOrder) {
    const ULONG code = ZvFourCC("ZAEC");
    EXPECT_EQ(code, 0x4345415Au);
    ULONG status = 1;
    CKAUDPParamsProbe probe(nullptr, code, &status);
    EXPECT_EQ(std::u16string(probe.InstanceName()), u"ZAEC");
    EXPECT_EQ(std::u16string(probe.Tag()), u"GAEC");
}

TEST_F(ModuleParamsTest, AbsentAndAllOnesValuesKeepTheDefaults) {
    kp::reg::SetDword(kKeyPath, u"GAEC_TailLength_ZAEC", 0xFFFFFFFF);
    m_probe->LoadFrom(m_key);
    EXPECT_EQ(m_probe->m_ulAutoOff, 0u);
    EXPECT_EQ(m_probe->m_ulTailLength, 64u);
    EXPECT_EQ(m_probe->m_ulComfortNoise, 2u);
}

TEST_F(ModuleParamsTest, StoredValuesAreLoadedByTheirExactNames) {
    kp::reg::SetDword(kKeyPath, u"GAEC_TailLength_ZAEC", 32);
    kp::reg::SetDword(kKeyPath, u"GAEC_AutoOff_ZAEC", 1);
    kp::reg::SetDword(kKeyPath, u"GAEC_ComfortNoiseLvl_ZSAM", 3);  // another instance's value
    kp::reg::SetDword(kKeyPath, u"GAEC_Text_ZAEC", 99);            // a row of another type
    kp::reg::SetDword(kKeyPath, u"GAEC_AfterTheEnd_ZAEC", 55);     // past the ending row
    m_probe->LoadFrom(m_key);
    EXPECT_EQ(m_probe->m_ulTailLength, 32u);
    EXPECT_EQ(m_probe->m_ulAutoOff, 1u);
    EXPECT_EQ(m_probe->m_ulComfortNoise, 2u);
    EXPECT_EQ(m_probe->m_ulText, 7u);
}

TEST_F(ModuleParamsTest, ValuesOfAnotherTypeOrSizeKeepTheDefaults) {
    kp::reg::SetString(kKeyPath, u"GAEC_TailLength_ZAEC", u"32");
    kp::reg::SetQword(kKeyPath, u"GAEC_AutoOff_ZAEC", 1);
    m_probe->LoadFrom(m_key);
    EXPECT_EQ(m_probe->m_ulTailLength, 64u);
    EXPECT_EQ(m_probe->m_ulAutoOff, 0u);
}

TEST_F(ModuleParamsTest, SaveWritesEveryDwordRowEveryTime) {
    kp::reg::SetDword(kKeyPath, u"GAEC_AutoOff_ZAEC", 0);
    m_probe->m_ulTailLength = 32;
    m_probe->SaveTo(m_key);
    EXPECT_EQ(kp::reg::GetDword(kKeyPath, u"GAEC_AutoOff_ZAEC"), 0u);
    EXPECT_EQ(kp::reg::GetDword(kKeyPath, u"GAEC_TailLength_ZAEC"), 32u);
    EXPECT_EQ(kp::reg::GetDword(kKeyPath, u"GAEC_ComfortNoiseLvl_ZAEC"), 2u);
    EXPECT_FALSE(kp::reg::GetValue(kKeyPath, u"GAEC_Text_ZAEC").has_value());
    EXPECT_FALSE(kp::reg::GetValue(kKeyPath, u"GAEC_AfterTheEnd_ZAEC").has_value());
    EXPECT_EQ(kp::reg::ValueNames(kKeyPath).size(), 3u);
    // Written again even when nothing changed.
    kp::reg::SetDword(kKeyPath, u"GAEC_ComfortNoiseLvl_ZAEC", 0);
    m_probe->SaveTo(m_key);
    EXPECT_EQ(kp::reg::GetDword(kKeyPath, u"GAEC_ComfortNoiseLvl_ZAEC"), 2u);
}

TEST_F(ModuleParamsTest, WithoutDeviceObjectNothingIsReadOrWritten) {
    EXPECT_EQ(m_probe->m_loaded, 0u);
    const ULONG handles = KpRegOpenKeyHandleCount();
    delete m_probe;
    m_probe = nullptr;
    EXPECT_EQ(KpRegOpenKeyHandleCount(), handles);
    EXPECT_TRUE(kp::reg::ValueNames(kKeyPath).empty());
}

// The parameters of a module created with a device object live in that
// device's driver key, opened the way the drivers open it.
class ModuleDeviceParamsTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        m_device.emplace();
        ASSERT_NE(m_device->Pdo(), nullptr);
        m_path = TestDevice::DriverKeyPath();
    }
    void TearDown() override {
        m_device.reset();
        ModuleTest::TearDown();
    }
    CKAUDPParamsProbe* Create() {
        ULONG status = 0xDEAD;
        auto* probe = new CKAUDPParamsProbe(m_device->Pdo(), ZvFourCC("ZAEC"), &status);
        EXPECT_EQ(status, ZV_OK);
        return probe;
    }
    std::optional<TestDevice> m_device;
    std::u16string m_path;
};

TEST_F(ModuleDeviceParamsTest, ConstructorReadsAndDestructorWritesTheDriverKey) {
    kp::reg::SetDword(m_path, u"GAEC_TailLength_ZAEC", 32);
    kp::reg::SetDword(m_path, u"GAEC_AutoOff_ZAEC", 0xFFFFFFFF);
    CKAUDPParamsProbe* probe = Create();
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->m_loaded, 1u);
    EXPECT_EQ(probe->m_ulTailLength, 32u);
    EXPECT_EQ(probe->m_ulAutoOff, 0u);
    EXPECT_EQ(probe->m_ulComfortNoise, 2u);
    probe->m_ulComfortNoise = 3;
    delete probe;
    EXPECT_EQ(kp::reg::GetDword(m_path, u"GAEC_AutoOff_ZAEC"), 0u);
    EXPECT_EQ(kp::reg::GetDword(m_path, u"GAEC_TailLength_ZAEC"), 32u);
    EXPECT_EQ(kp::reg::GetDword(m_path, u"GAEC_ComfortNoiseLvl_ZAEC"), 3u);
    EXPECT_FALSE(kp::reg::GetValue(m_path, u"GAEC_Text_ZAEC").has_value());
}

TEST_F(ModuleDeviceParamsTest, KeyThatCannotBeOpenedLeavesTheDefaults) {
    kp::reg::SetDword(m_path, u"GAEC_TailLength_ZAEC", 32);
    KpPnpFailRegistryKey(m_device->Pdo(), PLUGPLAY_REGKEY_DRIVER, STATUS_ACCESS_DENIED);
    CKAUDPParamsProbe* probe = Create();
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->m_loaded, 0u);
    EXPECT_EQ(probe->m_ulTailLength, 64u);
    delete probe;
    KpPnpFailRegistryKey(m_device->Pdo(), PLUGPLAY_REGKEY_DRIVER, STATUS_SUCCESS);
    EXPECT_EQ(kp::reg::GetDword(m_path, u"GAEC_TailLength_ZAEC"), 32u);
    EXPECT_EQ(kp::reg::ValueNames(m_path).size(), 1u);
}

TEST_F(ModuleDeviceParamsTest, ModulesWithoutParametersLeaveTheKeyAlone) {
    ULONG status = 0xDEAD;
    CKAUDPModule* modules[] = {new CKAUDPDrft(m_device->Pdo(), ZvFourCC("ZSAM"), &status),
                               new CKAUDPFCnv(m_device->Pdo(), ZvFourCC("ZSAM"), &status),
                               new CKAUDPCMix(m_device->Pdo(), ZvFourCC("ZAEC"), &status),
                               new CKAUDPBRes(m_device->Pdo(), ZvFourCC("ZAEC"), &status),
                               new CKAUDPWAVC(m_device->Pdo(), ZvFourCC("ZAEC"), &status)};
    for (CKAUDPModule* module : modules) {
        ASSERT_NE(module, nullptr);
        delete module;
    }
    EXPECT_TRUE(kp::reg::ValueNames(m_path).empty());
}

}  // namespace
}  // namespace zvmodtest
