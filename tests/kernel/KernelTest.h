// Fixture and helpers of the host kernel's tests.
#pragma once

#include <HostKernel.h>
#include <gtest/gtest.h>

#include <string>

// Boots a fresh kernel per test and expects a clean shutdown.
class KernelTest : public ::testing::Test {
protected:
    void SetUp() override { host::KernelBoot(); }
    void TearDown() override { EXPECT_TRUE(host::KernelShutdown()); }
};

// A UNICODE_STRING over a literal.
inline UNICODE_STRING Name(const wchar_t *Text) {
    UNICODE_STRING String;
    RtlInitUnicodeString(&String, Text);
    return String;
}

inline LARGE_INTEGER RelativeMs(long long Milliseconds) {
    LARGE_INTEGER Interval;
    Interval.QuadPart = -Milliseconds * 10000;
    return Interval;
}

constexpr ULONG TestTag = 0x74736554;  // 'Test'
