// The object manager's handle and object tables.
#include <vector>

#include <gtest/gtest.h>

#include "kp/testing.h"
#include "platform/ob.h"

namespace {

std::vector<PVOID> gClosed;
void RecordClose(PVOID Object) {
    gClosed.push_back(Object);
}
const KP_OBJECT_TYPE kKeyType = {"Key", RecordClose};
const KP_OBJECT_TYPE kFileType = {"File", RecordClose};

class ObjectTest : public kp::testing::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        gClosed.clear();
    }
};

TEST_F(ObjectTest, HandlesAreTypedNeverZeroAndNeverReused) {
    int a = 0, b = 0;
    ULONG keys = KpOpenHandleCount(&kKeyType);
    HANDLE h1 = KpCreateHandle(&a, &kKeyType);
    HANDLE h2 = KpCreateHandle(&b, &kFileType);
    ASSERT_NE(h1, nullptr);
    ASSERT_NE(h2, nullptr);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(KpLookupHandle(h1, &kKeyType), &a);
    EXPECT_EQ(KpLookupHandle(h1, &kFileType), nullptr);
    EXPECT_EQ(KpOpenHandleCount(&kKeyType), keys + 1);
    EXPECT_EQ(ZwClose(h1), STATUS_SUCCESS);
    ASSERT_EQ(gClosed.size(), 1u);
    EXPECT_EQ(gClosed[0], &a);
    EXPECT_EQ(ZwClose(h1), STATUS_INVALID_HANDLE);
    EXPECT_EQ(KpLookupHandle(h1, &kKeyType), nullptr);
    HANDLE h3 = KpCreateHandle(&a, &kKeyType);
    EXPECT_NE(h3, h1) << "a closed handle's value is not given out again";
    EXPECT_EQ(KpCreateHandle(nullptr, &kKeyType), nullptr);
    ZwClose(h2);
    ZwClose(h3);
    EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);
}

TEST_F(ObjectTest, LastReferenceClosesARegisteredObject) {
    int object = 0;
    ASSERT_EQ(KpInsertObject(&object, &kFileType), STATUS_SUCCESS);
    EXPECT_EQ(KpInsertObject(&object, &kFileType), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(KpObjectType(&object), &kFileType);
    EXPECT_EQ(ObReferenceObject(&object), 2);
    HANDLE handle = KpCreateObjectHandle(&object);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(KpObjectReferenceCount(&object), 3);

    PVOID referenced = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, &kKeyType, KernelMode, &referenced, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(referenced, nullptr);
    OBJECT_HANDLE_INFORMATION info;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0x1234, &kFileType, KernelMode, &referenced, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(referenced, &object);
    EXPECT_EQ(info.GrantedAccess, 0x1234u);
    EXPECT_EQ(ObDereferenceObject(&object), 3);

    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ObDereferenceObject(&object), 1);
    EXPECT_TRUE(gClosed.empty());
    EXPECT_EQ(ObDereferenceObject(&object), 0);
    ASSERT_EQ(gClosed.size(), 1u);
    EXPECT_EQ(KpObjectReferenceCount(&object), -1);
    EXPECT_EQ(KpCreateObjectHandle(&object), nullptr);
}

TEST_F(ObjectTest, ReferenceByHandleNeedsAReferenceCountedObject) {
    int key = 0;
    HANDLE handle = KpCreateHandle(&key, &kKeyType);
    PVOID object = &key;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7FFFFFF0), 0, nullptr,
                                        KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    ZwClose(handle);
}

class ObjectDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ObjectDeathTest, ReferencesToNonObjectsBugCheck) {
    int plain = 0;
    EXPECT_DEATH(ObReferenceObject(&plain),
                 "STOP: 0x00000018.*\n.*ObReferenceObject: .* is not a live object");
    EXPECT_DEATH(
        {
            int object = 0;
            KpInsertObject(&object, &kFileType);
            ObDereferenceObject(&object);
            ObDereferenceObject(&object);
        },
        "ObDereferenceObject: .* is not a live object \\(freed already\\?\\)");
}

}  // namespace
