// IRQL tracking, spin locks, interrupts and the rules that depend on them.
#include "KernelTest.h"

using IrqlTest = KernelTest;

TEST_F(IrqlTest, SpinLockRaisesToDispatchAndRestores)
{
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL Old;
    KeAcquireSpinLock(&Lock, &Old);
    EXPECT_EQ(Old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(Lock, 0u);
    KeReleaseSpinLock(&Lock, Old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(Lock, 0u);
}

TEST_F(IrqlTest, InterruptsMayBeDisabledAtDispatchLevel)
{
    KIRQL Old = KeRaiseIrqlToDpcLevel();
    _disable();
    EXPECT_TRUE(host::InterruptsDisabled());
    _enable();
    EXPECT_FALSE(host::InterruptsDisabled());
    KfLowerIrql(Old);
}

TEST_F(IrqlTest, InterlockedListsReturnThePreviousHead)
{
    KSPIN_LOCK Lock;
    KeInitializeSpinLock(&Lock);
    LIST_ENTRY Head, A, B;
    InitializeListHead(&Head);
    EXPECT_EQ(ExInterlockedInsertTailList(&Head, &A, &Lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&Head, &B, &Lock), &A);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&Head, &Lock), &A);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&Head, &Lock), &B);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&Head, &Lock), nullptr);
    EXPECT_EQ(Lock, 0u);
}

TEST_F(IrqlTest, PollingWaitIsAllowedAtDispatchLevel)
{
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    LARGE_INTEGER Zero;
    Zero.QuadPart = 0;
    KIRQL Old = KeRaiseIrqlToDpcLevel();
    EXPECT_EQ(KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, &Zero), STATUS_TIMEOUT);
    KeSetEvent(&Event, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, &Zero), STATUS_WAIT_0);
    KfLowerIrql(Old);
}

class IrqlDeathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        host::KernelBoot();
    }
    void TearDown() override { EXPECT_TRUE(host::KernelShutdown()); }
};

TEST_F(IrqlDeathTest, BlockingWaitAboveApcLevelStopsTheSystem)
{
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, TRUE);  // even a signalled object
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
        },
        "blocking KeWaitForSingleObject at IRQL 2");
    EXPECT_DEATH(
        {
            KSPIN_LOCK Lock;
            KeInitializeSpinLock(&Lock);
            KIRQL Old;
            KeAcquireSpinLock(&Lock, &Old);
            LARGE_INTEGER Interval = RelativeMs(1);
            KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, &Interval);
        },
        "blocking KeWaitForSingleObject");
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            LARGE_INTEGER Interval = RelativeMs(1);
            KeDelayExecutionThread(KernelMode, FALSE, &Interval);
        },
        "KeDelayExecutionThread at IRQL 2");
}

TEST_F(IrqlDeathTest, InterruptAndIrqlMisuseStopsTheSystem)
{
    EXPECT_DEATH(_disable(), "_disable at IRQL 0");
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            _disable();
            KfLowerIrql(PASSIVE_LEVEL);
        },
        "interrupts disabled");
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            KfRaiseIrql(PASSIVE_LEVEL);
        },
        "IRQL_NOT_GREATER_OR_EQUAL");
    EXPECT_DEATH(
        {
            KSPIN_LOCK Lock;
            KeInitializeSpinLock(&Lock);
            KIRQL A;
            KIRQL B;
            KeAcquireSpinLock(&Lock, &A);
            KeAcquireSpinLock(&Lock, &B);
        },
        "recursively");
}
