// A filter logic compiled as a library of its own becomes a driver image: the
// framework is what refers to the logic's descriptor, so an image that passed
// over the logic's archive would not load.  Both test images are built that
// way; each must run its own logic under its own name and options.
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "kp/io.h"

namespace zvtest {
namespace {

using LogicImageTest = E2ETest;

#if defined(__SANITIZE_THREAD__)
#define KP_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KP_UNDER_TSAN 1
#endif
#endif

TEST_F(LogicImageTest, EachImageBuiltFromALogicLibraryRunsItsOwnLogic) {
#ifdef KP_UNDER_TSAN
    // Each image hooks the other's device as a slave from its work item, so one
    // attaches a filter to a live stack (and sets its stack size) while the other
    // sends a request down it: the unsynchronized byte the kernel's I/O manager
    // reads the same way.  The images' own code is covered by the other tests.
    GTEST_SKIP() << "two filter drivers hooking each other's live stacks at once";
#endif
    WriteMachine({
        {"1", {"ZvEchowell"}, {{"ZAECAudioFilterMaster", 1}}, 1},
        {"2", {"ZvMutewell"}, {{"ZSAMAudioFilterMaster", 1}}, 1},
    });
    PDEVICE_OBJECT echo = Plug("1");
    PDEVICE_OBJECT mute = Plug("2");
    KpIoDrainWorkQueues();

    struct Case {
        PDEVICE_OBJECT Pdo;
        const char16_t* Driver;
        std::string LogicName;
        ULONG Directions;  // what the flavour's OnDecidePinDirs stored
    };
    const Case cases[] = {
        {echo, u"\\Driver\\ZvEchowell", "Echowell", 2},
        {mute, u"\\Driver\\ZvMutewell", "Mutewell", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.LogicName);
        PDEVICE_OBJECT fdo = FilterOf(c.Pdo, c.Driver);
        ASSERT_NE(fdo, nullptr);
        EXPECT_EQ(LogicCalls(c.LogicName, fdo),
                  (std::vector<std::string>{"OnFilterLoad(1)", "OnDecidePinDirs(1)"}));
        FilterDeviceExtension* ext = ExtensionOf(c.Pdo, c.Driver);
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(ext->MasterFlag, 1u);
        EXPECT_EQ(ext->HandledDirections, c.Directions);
    }
}

}  // namespace
}  // namespace zvtest
