// I/O work items and the system work queues.
//
// One pool of worker threads serves the critical queue first, then the delayed
// queue.  A queued item holds a reference on its device object and counts as
// work of the device's driver until its routine returns, so neither the device
// nor the driver's image can go while it waits or runs.
#include <condition_variable>
#include <deque>
#include <thread>

#include "io_internal.h"
#include "ke_private.h"
#include "kp/irql.h"

struct _IO_WORKITEM {
    ULONG Magic;
    BOOLEAN Queued;
    PDEVICE_OBJECT DeviceObject;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
};

namespace kp::io {
namespace {

constexpr ULONG kWorkItemMagic = 0x4B50574B;  // "KPWK"
constexpr ULONG kWorkItemTag = KpTag("IoWk");

struct Job {
    PIO_WORKITEM Item = nullptr;  // or, for the I/O manager's own jobs, null and Internal set
    std::function<void()> Internal;
};

class WorkQueues {
public:
    ~WorkQueues() { SetThreads(0); }

    void Queue(Job job, WORK_QUEUE_TYPE type) {
        std::unique_lock<std::mutex> guard(lock_);
        if (threads_.empty()) StartLocked(defaultThreads_);
        (type == DelayedWorkQueue ? delayed_ : critical_).push_back(std::move(job));
        pending_++;
        wake_.notify_one();
    }

    void Drain() {
        std::unique_lock<std::mutex> guard(lock_);
        idle_.wait(guard, [this] { return pending_ == 0; });
    }

    ULONG Pending() {
        std::lock_guard<std::mutex> guard(lock_);
        return pending_;
    }

    void SetThreads(ULONG count) {
        std::vector<std::thread> old;
        {
            std::unique_lock<std::mutex> guard(lock_);
            idle_.wait(guard, [this] { return pending_ == 0; });
            stop_ = true;
            wake_.notify_all();
            old.swap(threads_);
            defaultThreads_ = count ? count : 2;
        }
        for (auto& t : old) t.join();
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = false;
        if (count != 0) StartLocked(count);
    }

private:
    void StartLocked(ULONG count) {
        for (ULONG i = 0; i < count; i++) threads_.emplace_back([this] { Run(); });
    }

    void Run() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            wake_.wait(guard, [this] { return stop_ || !critical_.empty() || !delayed_.empty(); });
            if (critical_.empty() && delayed_.empty()) return;  // stopping
            auto& queue = critical_.empty() ? delayed_ : critical_;
            Job job = std::move(queue.front());
            queue.pop_front();
            guard.unlock();
            KiCurrent().InWorkItem = true;
            RunJob(job);
            KiCurrent().InWorkItem = false;
            guard.lock();
            if (--pending_ == 0) idle_.notify_all();
        }
    }

    static void RunJob(Job& job) {
        if (job.Item == nullptr) {
            job.Internal();
            return;
        }
        PIO_WORKITEM item = job.Item;
        PDEVICE_OBJECT device = item->DeviceObject;
        PIO_WORKITEM_ROUTINE routine = item->Routine;
        PVOID context = item->Context;
        KpDriverInternals* driver = Internals(device->DriverObject);
        item->Queued = FALSE;  // the routine may free or queue the item again
        routine(device, context);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL || KpHeldSpinLockCount() != 0) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                       "work item routine %p returned at %s holding %u spin locks",
                       reinterpret_cast<void*>(routine), KpIrqlName(KeGetCurrentIrql()),
                       KpHeldSpinLockCount());
        }
        driver->WorkItems--;
        ObDereferenceObject(device);
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> critical_;
    std::deque<Job> delayed_;
    std::vector<std::thread> threads_;
    ULONG pending_ = 0;  // queued or running
    ULONG defaultThreads_ = 2;
    bool stop_ = false;
};

WorkQueues& Queues() {
    static WorkQueues queues;
    return queues;
}

}  // namespace

void QueueInternalJob(std::function<void()> job) {
    Queues().Queue(Job{nullptr, std::move(job)}, DelayedWorkQueue);
}

}  // namespace kp::io

using namespace kp::io;

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    KpAssertIrql(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (ShouldFail(KpFaultAllocateWorkItem)) return nullptr;
    auto item = static_cast<PIO_WORKITEM>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), kWorkItemTag));
    if (item == nullptr) return nullptr;
    std::memset(item, 0, sizeof(IO_WORKITEM));
    item->Magic = kWorkItemMagic;
    item->DeviceObject = DeviceObject;
    return item;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
    KpAssertIrql(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (IoWorkItem == nullptr || IoWorkItem->Magic != kWorkItemMagic) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "IoQueueWorkItem: %p is no work item", IoWorkItem);
    }
    if (IoWorkItem->Queued) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "IoQueueWorkItem: work item %p is already queued",
                   IoWorkItem);
    }
    IoWorkItem->Queued = TRUE;
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    ObReferenceObject(IoWorkItem->DeviceObject);
    Internals(IoWorkItem->DeviceObject->DriverObject, "IoQueueWorkItem")->WorkItems++;
    Queues().Queue(Job{IoWorkItem, {}},
                   QueueType == DelayedWorkQueue ? DelayedWorkQueue : CriticalWorkQueue);
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    if (IoWorkItem == nullptr || IoWorkItem->Magic != kWorkItemMagic) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "IoFreeWorkItem: %p is no work item", IoWorkItem);
    }
    if (IoWorkItem->Queued) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "IoFreeWorkItem: work item %p is still queued",
                   IoWorkItem);
    }
    IoWorkItem->Magic = 0;
    ExFreePool(IoWorkItem);
}

void KpIoSetWorkerThreadCount(ULONG Count) {
    if (Count == 0) KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "KpIoSetWorkerThreadCount(0)");
    Queues().SetThreads(Count);
}

void KpIoDrainWorkQueues(void) {
    Queues().Drain();
}

ULONG KpIoQueuedWorkItemCount(void) {
    return Queues().Pending();
}
