// The KS request sender against the fake audio device, and the predicates on
// hand-built property requests.
#include <cstring>
#include <string>
#include <vector>

#include "CKsIrpTarget.h"
#include "E2ESupport.h"
#include "EchowellControl.h"
#include "FakeAudioDriver.h"
#include "FilterLogic.h"
#include "MutewellControl.h"
#include "kp/io.h"
#include "kp/pnp.h"

namespace zvtest {
namespace {

// A sender aimed at a device of the test's choosing.
class TestTarget : public CKsIrpTarget {
public:
    explicit TestTarget(PDEVICE_OBJECT target) { m_target = target; }
};

// A request whose current location carries a property of the given length.
class PropertyRequest {
public:
    PropertyRequest(const void* input, ULONG inputLength, ULONG outputLength,
                    PFILE_OBJECT file = nullptr) {
        m_irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(m_irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(m_irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
        stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        stack->FileObject = file;
    }
    ~PropertyRequest() { IoFreeIrp(m_irp); }
    PIRP Get() const { return m_irp; }

private:
    PIRP m_irp;
};

class IrpTargetTest : public E2ETest {
protected:
    void SetUp() override {
        E2ETest::SetUp();
        WriteMachine({{"1", {}, {}, 1}});
        m_pdo = Plug("1");
        ASSERT_NE(m_pdo, nullptr);
        m_device = m_pdo->AttachedDevice;
        auto links = KpPnpInterfaceLinks(m_pdo, true);
        ASSERT_FALSE(links.empty());
        UNICODE_STRING link;
        link.Buffer = links[0].data();
        link.Length = link.MaximumLength = static_cast<USHORT>(links[0].size() * 2);
        PDEVICE_OBJECT top = nullptr;
        ASSERT_EQ(IoGetDeviceObjectPointer(&link, STANDARD_RIGHTS_ALL, &m_file, &top),
                  STATUS_SUCCESS);
        KpIoTraceClear();
    }
    void TearDown() override {
        if (m_file != nullptr) ObDereferenceObject(m_file);
        E2ETest::TearDown();
    }
    ULONG ControlRequestsSeen() {
        ULONG count = 0;
        for (auto& e : KpIoTraceEntries()) {
            if (e.Who == ZV_FAKE_AUDIO_LABEL && e.Event == "irp" &&
                e.Major == IRP_MJ_DEVICE_CONTROL)
                ++count;
        }
        return count;
    }

    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_device = nullptr;
    PFILE_OBJECT m_file = nullptr;
};

TEST_F(IrpTargetTest, RefusalsSendNothing) {
    KSPROPERTY property = {KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(SendKsIoctl(IOCTL_KS_PROPERTY, m_device, m_file, &property, sizeof property, nullptr,
                          4, nullptr),
              STATUS_INVALID_PARAMETER);
    // No file object to send on.
    ULONG out = 0;
    EXPECT_EQ(SendKsIoctl(IOCTL_KS_PROPERTY, m_device, nullptr, &property, sizeof property, &out, 4,
                          nullptr),
              STATUS_INVALID_PARAMETER);
    TestTarget target(m_device);
    PropertyRequest noFile(&property, sizeof property, 0);
    EXPECT_EQ(target.SyncIoctl(noFile.Get(), IOCTL_KS_PROPERTY, &property, sizeof property, &out, 4,
                               RequestFile::Own),
              STATUS_INVALID_PARAMETER);
    // Short buffers of the pin wrappers.
    PropertyRequest current(&property, sizeof property, 0, m_file);
    UCHAR buffer[16];
    EXPECT_EQ(target.GetPinCommunication(current.Get(), 0, buffer, 3, RequestFile::Own),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(target.GetPinDataFlow(current.Get(), 0, nullptr, 4, RequestFile::Own),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(target.GetPinCategory(current.Get(), 0, buffer, 15, RequestFile::Own),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ControlRequestsSeen(), 0u);
    // No request can be built.
    KpIoFailCall(KpFaultAllocateIrp, 1);
    EXPECT_EQ(SendKsIoctl(IOCTL_KS_PROPERTY, m_device, m_file, &property, sizeof property, &out, 4,
                          nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    KpIoClearFailures();
    EXPECT_EQ(ControlRequestsSeen(), 0u);
}

TEST_F(IrpTargetTest, PositionAndPinDescriptionComeBackFromTheDevice) {
    KSAUDIO_POSITION position = {};
    EXPECT_EQ(GetAudioPosition(m_device, m_file, &position), ZV_OK);
    EXPECT_EQ(position.PlayOffset, 4800u);
    EXPECT_EQ(position.WriteOffset, 9600u);
    auto entries = KpIoTraceEntries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().FileObject, m_file);

    KSPROPERTY any = {KSPROPSETID_Pin, 0, KSPROPERTY_TYPE_GET};
    PropertyRequest current(&any, sizeof any, 0, m_file);
    TestTarget target(m_device);
    GUID category = {};
    ULONG dataFlow = 0, communication = 0;
    EXPECT_EQ(target.GetPinDescription(current.Get(), 0, &category, &dataFlow, &communication,
                                       RequestFile::Own),
              1u);
    EXPECT_TRUE(IsEqualGUID(category, KSCATEGORY_CAPTURE));
    EXPECT_EQ(dataFlow, 2u);
    EXPECT_EQ(communication, 1u);
    // A pin the device does not know: nothing is written.
    GUID marker;
    std::memset(&marker, 0x5A, sizeof marker);
    category = marker;
    dataFlow = communication = 77;
    EXPECT_EQ(target.GetPinDescription(current.Get(), 7, &category, &dataFlow, &communication,
                                       RequestFile::Own),
              0u);
    EXPECT_TRUE(IsEqualGUID(category, marker));
    EXPECT_EQ(dataFlow, 77u);
    EXPECT_EQ(communication, 77u);
    // The byte count comes back, also through the member form.
    KSP_PIN pin = {{KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET}, 1, 0};
    ULONG flow = 0, bytes = 0;
    EXPECT_EQ(target.SyncIoctl(current.Get(), IOCTL_KS_PROPERTY, &pin, sizeof pin, &flow,
                               sizeof flow, &bytes, RequestFile::Own),
              STATUS_SUCCESS);
    EXPECT_EQ(flow, 1u);
    EXPECT_EQ(bytes, 4u);
}

TEST_F(IrpTargetTest, UseRelatedSendsOnTheParentFile) {
    // A pin file whose parent is the opened filter file.
    FILE_OBJECT pinFile = {};
    pinFile.RelatedFileObject = m_file;
    KSPROPERTY any = {KSPROPSETID_Pin, 0, KSPROPERTY_TYPE_GET};
    PropertyRequest current(&any, sizeof any, 0, &pinFile);
    TestTarget target(m_device);
    ULONG flow = 0;
    EXPECT_EQ(target.GetPinDataFlow(current.Get(), 0, &flow, sizeof flow, RequestFile::Related),
              STATUS_SUCCESS);
    auto entries = KpIoTraceEntries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().FileObject, m_file);
    // Without a parent there is nothing to send on.
    FILE_OBJECT orphan = {};
    PropertyRequest orphanRequest(&any, sizeof any, 0, &orphan);
    EXPECT_EQ(
        target.GetPinDataFlow(orphanRequest.Get(), 0, &flow, sizeof flow, RequestFile::Related),
        STATUS_INVALID_PARAMETER);
}

TEST_F(IrpTargetTest, PredicatesClassifyByLengthSetIdAndFlags) {
    KSP_PIN pin = {{KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET}, 3, 0};
    ULONG pinId = 0, id = 0, kind = 9;
    EXPECT_EQ(CKsIrpTarget::IsGetDataRanges(PropertyRequest(&pin, 32, 100).Get(), &pinId), 1u);
    EXPECT_EQ(pinId, 3u);
    EXPECT_EQ(CKsIrpTarget::IsGetDataRanges(PropertyRequest(&pin, 24, 100).Get(), &pinId), 0u);
    EXPECT_EQ(CKsIrpTarget::IsPinProperty(PropertyRequest(&pin, 32, 0).Get(), &pinId), 1u);
    pin.Property.Flags = KSPROPERTY_TYPE_SET;
    EXPECT_EQ(CKsIrpTarget::IsGetDataRanges(PropertyRequest(&pin, 32, 100).Get(), &pinId), 0u);
    pin.Property.Flags = KSPROPERTY_TYPE_GET;
    pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    EXPECT_EQ(CKsIrpTarget::IsGetDataIntersection(PropertyRequest(&pin, 32, 0).Get(), &pinId), 1u);
    EXPECT_EQ(CKsIrpTarget::IsGetDataRanges(PropertyRequest(&pin, 32, 0).Get(), &pinId), 0u);
    pin.Property.Id = KSPROPERTY_PIN_COMMUNICATION;
    EXPECT_EQ(CKsIrpTarget::IsGetPinCommunication(PropertyRequest(&pin, 32, 4).Get(), &pinId), 1u);
    EXPECT_EQ(CKsIrpTarget::IsPinProperty(PropertyRequest(&pin, 23, 4).Get(), &pinId), 0u);

    KSPROPERTY connection = {KSPROPSETID_Connection, 5, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET};
    EXPECT_EQ(
        CKsIrpTarget::IsConnectionProperty(PropertyRequest(&connection, 24, 0).Get(), &id, &kind),
        1u);
    EXPECT_EQ(kind, 2u);
    connection.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(
        CKsIrpTarget::IsConnectionProperty(PropertyRequest(&connection, 24, 0).Get(), &id, &kind),
        1u);
    EXPECT_EQ(kind, 1u);
    connection.Flags = 0;
    connection.Id = 9;
    EXPECT_EQ(
        CKsIrpTarget::IsConnectionProperty(PropertyRequest(&connection, 24, 0).Get(), &id, &kind),
        0u);
    EXPECT_EQ(id, 9u);  // stored all the same
    EXPECT_EQ(kind, 0u);

    KSPROPERTY position = {KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(CKsIrpTarget::IsGetAudioPosition(PropertyRequest(&position, 24, 16).Get()), 1u);
    position.Id = 4;
    EXPECT_EQ(CKsIrpTarget::IsGetAudioPosition(PropertyRequest(&position, 24, 16).Get()), 0u);

    // The test program is the Echowell build.
    KSPROPERTY aec = {KSPROPSETID_AecControl, 0, KSPROPERTY_TYPE_GET};
    KSPROPERTY mute = {KSPROPSETID_SwitchMute, 0, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(CKsIrpTarget::IsInterceptedPropertySet(PropertyRequest(&aec, 24, 0).Get()), 1u);
    EXPECT_EQ(CKsIrpTarget::IsInterceptedPropertySet(PropertyRequest(&position, 24, 0).Get()), 1u);
    EXPECT_EQ(CKsIrpTarget::IsInterceptedPropertySet(PropertyRequest(&mute, 24, 0).Get()), 0u);
    EXPECT_EQ(CKsIrpTarget::IsInterceptedPropertySet(PropertyRequest(&aec, 16, 0).Get()), 0u);
}

}  // namespace
}  // namespace zvtest
